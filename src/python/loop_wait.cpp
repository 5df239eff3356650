// The loop wait: a future of the running loop, a reader on the descriptor, an optional timer,
// and a done callback that takes them all down again.
#include "python/loop_wait.hpp"

#include <memory>
#include <utility>

#include "common/fault.hpp"
#include "python/event_loop.hpp"

namespace velto::python {

namespace {

// Shared by the three callables the loop holds (reader, timer, done callback) and, until the
// future is done, by the future itself through its done callback: a cycle that the done
// callback breaks, as every way of ending completes the future.
class LoopWait {
  public:
    LoopWait(Ref loop, Ref future, LoopWaitRequest request)
        : loop_(std::move(loop)),
          future_(std::move(future)),
          readable_(std::move(request.readable)),
          ready_(std::move(request.ready)) {}

    // Each time the loop finds the descriptor readable.
    void on_readable() {
        if (settled()) return stop_watching();
        Result<std::optional<Ref>, OperationError> outcome = run_step();
        if (!outcome.ok()) {
            raise_operation_error(std::move(outcome).error());
            return end_with_pending_exception();
        }
        if (outcome.value()) end_with(std::move(*outcome.value()));
    }

    void on_timeout() {
        timer_ = Ref();  // it has fired: nothing to cancel any more
        if (!settled()) end_with(borrow(Py_None));
    }

    // The future is done, whatever ended it (a result, an exception, a cancellation).
    void on_done() {
        stop_watching();
        ready_ = nullptr;
        future_ = Ref();
        loop_ = Ref();
    }

    Status<OperationError> watch(Ref reader, Ref done, std::optional<Ref> timer_callback,
                                 std::optional<double> timeout_seconds) {
        VELTO_TRY(Ref fd, owned(PyLong_FromLong(readable_.get())));
        VELTO_TRY(Ref added, call_method(loop_.get(), "add_reader", {fd.get(), reader.get()}));
        reading_ = true;
        if (timer_callback && timeout_seconds) {
            VELTO_TRY(Ref delay, owned(PyFloat_FromDouble(*timeout_seconds)));
            VELTO_TRY(timer_, call_method(loop_.get(), "call_later",
                                          {delay.get(), timer_callback->get()}));
        }
        VELTO_TRY(Ref callback, call_method(future_.get(), "add_done_callback", {done.get()}));
        return ok_unit;
    }

    // Idempotent. The reader goes before the descriptor, which another wait could be given
    // under the same number at once.
    void stop_watching() {
        if (reading_) {
            reading_ = false;
            // A failure here leaves nothing that could be done better: it is dropped.
            Ref fd = steal(PyLong_FromLong(readable_.get()));
            if (!fd) discard_pending_exception();
            if (fd) static_cast<void>(call_method(loop_.get(), "remove_reader", {fd.get()}));
        }
        if (timer_) {
            static_cast<void>(call_method(timer_.get(), "cancel", {}));
            timer_ = Ref();
        }
        readable_.reset();
    }

  private:
    bool settled() {
        if (!future_) return true;
        auto done = call_method(future_.get(), "done", {});
        return !done.ok() || done.value().get() == Py_True;
    }

    // A fault of the step (reported on standard error where it was raised) becomes the
    // PanicException the awaiting task receives, as the blocking method raises it.
    Result<std::optional<Ref>, OperationError> run_step() {
        try {
            return ready_(readable_);
        } catch (const Fault& fault) {
            raise_for_fault(fault);
            return fail(OperationError(fetch_exception_as_is()));
        }
    }

    void end_with(Ref result) {
        stop_watching();
        // Refused only by a future that is done already.
        static_cast<void>(call_method(future_.get(), "set_result", {result.get()}));
    }

    void end_with_pending_exception() {
        HostException exception = fetch_exception_as_is();
        stop_watching();
        static_cast<void>(call_method(future_.get(), "set_exception", {exception.value.get()}));
    }

    Ref loop_;
    Ref future_;
    Ref timer_;
    net::Fd readable_;
    bool reading_ = false;
    ReadyStep ready_;
};

}  // namespace

ObjectResult start_loop_wait(LoopWaitRequest request) {
    VELTO_TRY(Ref loop, running_event_loop());
    if (!loop) return fail(runtime_error("no running event loop"));
    VELTO_TRY(Ref future, call_method(loop.get(), "create_future", {}));
    const std::optional<double> timeout_seconds = request.timeout_seconds;
    auto wait = std::make_shared<LoopWait>(std::move(loop), future.clone(), std::move(request));
    VELTO_TRY(Ref reader, native_callable([wait](std::span<PyObject* const>) -> ObjectResult {
                  wait->on_readable();
                  return borrow(Py_None);
              }));
    VELTO_TRY(Ref done, native_callable([wait](std::span<PyObject* const>) -> ObjectResult {
                  wait->on_done();
                  return borrow(Py_None);
              }));
    std::optional<Ref> timer;
    if (timeout_seconds) {
        VELTO_TRY(Ref made, native_callable([wait](std::span<PyObject* const>) -> ObjectResult {
                      wait->on_timeout();
                      return borrow(Py_None);
                  }));
        timer = std::move(made);
    }
    if (auto watching = wait->watch(std::move(reader), std::move(done), std::move(timer),
                                    timeout_seconds);
        !watching.ok()) {
        wait->stop_watching();
        return fail(std::move(watching).error());
    }
    return future;
}

}  // namespace velto::python
