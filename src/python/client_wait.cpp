// Waiting for a server's client to go, without the interpreter lock.
#include "python/client_wait.hpp"

#include <cmath>
#include <utility>

#include "python/conversions.hpp"
#include "python/signal_check.hpp"

namespace velto::python {

namespace {

// Beyond this a deadline would be centuries away: the wait has no limit instead, and the
// steady clock's arithmetic never overflows.
constexpr double longest_timeout_seconds = 1e9;

// The interpreter lock let go by a Python thread for a wait, and taken back on destruction;
// `with_lock` holds it again for a moment (to run the signal handlers). When the interpreter
// ends this thread while it takes the lock back (a daemon thread at exit), the forced unwinding
// passes through here: the destructor must neither take the lock again nor swallow it.
class LockReleased {
  public:
    LockReleased() noexcept : state_(PyEval_SaveThread()) {}
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;
    ~LockReleased() noexcept(false) {
        if (held_) return;
        held_ = true;
        PyEval_RestoreThread(state_);
    }

    template <class Work>
    auto with_lock(Work&& work) {
        held_ = true;
        PyEval_RestoreThread(state_);
        const Release again{*this};
        return work();
    }

  private:
    struct Release {
        LockReleased& owner;
        ~Release() {
            owner.state_ = PyEval_SaveThread();
            owner.held_ = false;
        }
    };

    PyThreadState* state_;
    bool held_ = false;
};

}  // namespace

Result<std::optional<std::chrono::nanoseconds>, OperationError> to_timeout(Handle object) {
    using Timeout = std::optional<std::chrono::nanoseconds>;
    if (object.get() == Py_None) return Timeout();
    const double seconds = PyFloat_AsDouble(object.get());
    if (seconds == -1.0 && PyErr_Occurred()) return fail(pending_error());
    if (std::isnan(seconds) || seconds < 0) {
        return fail(value_error("timeout must be a non-negative number or None"));
    }
    if (seconds > longest_timeout_seconds) return Timeout();
    return Timeout(std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::duration<double>(seconds)));
}

Result<std::optional<net::ClientOutcome>, OperationError> wait_for_client(
    const net::ClientWatch& watch, std::optional<std::chrono::nanoseconds> timeout) {
    SignalCheck signals;
    auto waited = [&] {
        LockReleased released;
        return watch.wait(timeout, [&] {
            return released.with_lock([&] { return signals.run_handlers(); });
        });
    }();
    if (waited.ok()) return std::move(waited).value();
    if (signals.raised()) return fail(pending_error());
    return fail(OperationError(std::move(waited).error()));
}

ObjectResult outcome_text(net::ClientOutcome outcome) {
    switch (outcome) {
        case net::ClientOutcome::Disconnected:
            return new_text("disconnected");
        case net::ClientOutcome::Stopped:
            return new_text("stopped");
        case net::ClientOutcome::Failed:
            break;
    }
    return new_text("failed");
}

}  // namespace velto::python
