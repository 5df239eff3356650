// Running the signal handlers when a blocking call was interrupted.
#include "python/signal_check.hpp"

namespace velto::python {

net::RetryAfterInterrupt SignalCheck::retry() {
    return [this] {
        // Handlers only run on the main thread; elsewhere this is a cheap no-op and the wait
        // simply goes on.
        if (PyErr_CheckSignals() == 0) return true;
        raised_ = true;
        return false;
    };
}

}  // namespace velto::python
