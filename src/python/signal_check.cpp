// Running the interpreter's signal handlers after an interrupted wait.
#include "python/signal_check.hpp"

namespace velto::python {

bool SignalCheck::run_handlers() noexcept {
    if (PyErr_CheckSignals() == 0) return true;
    raised_ = true;
    return false;
}

net::RetryAfterInterrupt SignalCheck::retry() {
    return [this] { return run_handlers(); };
}

}  // namespace velto::python
