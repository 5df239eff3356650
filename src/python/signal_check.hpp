// Blocking calls made with the interpreter lock held follow the interpreter's convention for
// interrupted system calls: the signal handlers run, and a handler that raises ends the wait.
#pragma once

#include "python/python.hpp"

#include "net/socket.hpp"

namespace velto::python {

// One per blocking call; it must outlive the call that uses its `retry()`.
class SignalCheck {
  public:
    // For the network core's waits: after an interrupted system call, runs the signal handlers
    // (PyErr_CheckSignals) and asks for a retry unless one raised.
    net::RetryAfterInterrupt retry();

    // True when a handler raised (KeyboardInterrupt, say) and so ended the wait: its exception
    // is the pending one, and it is what the caller reports.
    bool raised() const noexcept { return raised_; }

  private:
    bool raised_ = false;
};

}  // namespace velto::python
