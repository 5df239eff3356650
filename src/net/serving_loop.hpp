// The serving thread: reads frames from one connection and hands each to a handler until it is
// stopped, its sender disappears, or a fault ends it.
#pragma once

#include <memory>
#include <string>

#include "common/result.hpp"
#include "net/fd.hpp"
#include "net/stop_channel.hpp"
#include "net/system_error.hpp"
#include "wire/frame.hpp"

namespace velto::net {

// What the serving loop calls for each decoded frame. Implemented by the binding, which owns
// the registry snapshot and the interpreter.
class FrameHandler {
  public:
    virtual ~FrameHandler() = default;
    // Dispatches one frame. An error text ends the thread with the fault "Action failed " + text.
    // A `Fault` thrown from here ends the thread as that fault.
    virtual Status<std::string> execute_action(const wire::Frame& frame) = 0;
    // Called once on the serving thread when the loop is over and the thread has let its stop
    // receiver and connection go, before the handler is destroyed (spawn_serving_thread only).
    // The place for a last release that may wait, for an interpreter's lock say, and that the
    // interpreter may end with a forced unwinding, which a destructor could not let through.
    // Throws nothing else.
    virtual void finish() {}
};

// Runs the loop on the calling thread. Returns when the thread is to end; every fault has been
// reported on standard error by then. The handler is destroyed by the caller afterwards.
// With a predecessor (the thread that served the connection before, see StopSender::retire),
// nothing is read before the predecessor has ended, and its unfinished frame is continued.
void run_serving_loop(const Fd& connection, const StopReceiver& stop, FrameHandler& handler,
                      Predecessor predecessor = {});

// Starts a detached thread, with every signal blocked (signals belong to the interpreter's
// main thread), that owns the connection, the receiver and the handler, runs the loop and
// then releases them in the order receiver, connection, handler (calling its finish() before
// it is destroyed). A thread torn down by forced
// unwinding (pthread_exit, which the interpreter may do to a thread during its finalization)
// releases the receiver and the connection but never destroys the handler. When the thread
// cannot be started, all three are released on the calling thread before the error returns.
Status<SystemError> spawn_serving_thread(Fd connection, StopReceiver stop,
                                         std::unique_ptr<FrameHandler> handler,
                                         Predecessor predecessor = {});

}  // namespace velto::net
