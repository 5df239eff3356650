// Attaching foreign threads to the interpreter, and knowing when that is no longer allowed.
#include "python/interpreter_lock.hpp"

#include <utility>

namespace velto::python {

bool interpreter_finalizing() noexcept {
    if (!Py_IsInitialized()) return true;
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

InterpreterAttachment::InterpreterAttachment() {
    if (interpreter_finalizing()) return;
    // Creates this thread's state and takes the lock; the state then stays for the thread's
    // whole life and is only swapped in and out, which costs far less than one per frame.
    // The thread had no state before, so the state to go back to at the end is always
    // "unlocked" (see the destructor).
    static_cast<void>(PyGILState_Ensure());
    drain_deferred_releases();
    state_ = PyEval_SaveThread();
}

InterpreterAttachment::~InterpreterAttachment() noexcept(false) {
    if (state_ == nullptr || interpreter_finalizing()) return;
    PyEval_RestoreThread(state_);
    state_ = nullptr;
    drain_deferred_releases();
    // Back to the state before the attachment (none): deletes the thread state and lets the
    // lock go.
    PyGILState_Release(PyGILState_UNLOCKED);
}

std::optional<InterpreterAttachment::Held> InterpreterAttachment::hold() {
    if (state_ == nullptr || interpreter_finalizing()) return std::nullopt;
    PyEval_RestoreThread(state_);
    drain_deferred_releases();
    return Held(*this);
}

InterpreterAttachment::Held::Held(Held&& other) noexcept
    : owner_(std::exchange(other.owner_, nullptr)) {}

void InterpreterAttachment::Held::release() noexcept {
    std::exchange(owner_, nullptr)->state_ = PyEval_SaveThread();
}

InterpreterAttachment::Held::~Held() {
    // Destroyed by the forced unwinding with which the interpreter ends this thread (it tried to
    // take the lock back inside Python code while finalizing), the thread no longer holds the
    // lock: letting it go then would take it from its real holder.
    if (owner_ != nullptr && holds_interpreter_lock()) owner_->state_ = PyEval_SaveThread();
}

}  // namespace velto::python
