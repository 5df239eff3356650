// The interpreter's convention for interrupted waits: after EINTR the signal handlers run, and a
// handler that raises (KeyboardInterrupt, say) ends the wait with its exception.
#pragma once

#include "python/python.hpp"

#include "net/socket.hpp"

namespace velto::python {

// One per blocking call; it must outlive the call that uses its `retry()`.
class SignalCheck {
  public:
    // Runs the signal handlers (PyErr_CheckSignals), with the interpreter lock held. Returns
    // true to go on waiting, false when a handler raised. Handlers run on the main thread only;
    // elsewhere this is a cheap no-op and the wait goes on.
    bool run_handlers() noexcept;

    // For the network core's waits made with the interpreter lock held: run_handlers after
    // every interrupted system call.
    net::RetryAfterInterrupt retry();

    // True when a handler raised and so ended the wait: its exception is the pending one, and
    // it is what the caller reports.
    bool raised() const noexcept { return raised_; }

  private:
    bool raised_ = false;
};

}  // namespace velto::python
