// The serving loop: reads frames from one connection and hands each to a handler until it is
// stopped, retired, its sender disappears, or a fault ends it.
#pragma once

#include <csignal>
#include <string>

#include "common/result.hpp"
#include "net/console.hpp"
#include "net/fd.hpp"
#include "net/stop_channel.hpp"
#include "wire/frame.hpp"

namespace velto::net {

// What the serving loop calls for each decoded frame. Implemented by the binding, which owns
// the registry snapshot and the interpreter.
class FrameHandler {
  public:
    virtual ~FrameHandler() = default;
    // How a dispatch that did not fail ended.
    enum class Dispatched {
        Done,     // the loop says "done" and goes on
        Stopped,  // a stop ended the wait for the action (see Completion): no "done"
    };
    // Dispatches one frame. Its console lines go into `console`, which the loop writes out
    // before it waits or ends; the handler writes it out itself (`flush`) before program code
    // runs, so that whatever that code prints comes after them, and never while it holds a lock
    // that others may need, as a full standard output would block the write. `stop` is for a
    // handler that waits for work done elsewhere: only a stop may end that wait early. An error
    // text ends the thread with the fault "Action failed " + text. A `Fault` thrown from here
    // ends the thread as that fault.
    virtual Result<Dispatched, std::string> execute_action(const wire::Frame& frame,
                                                           ConsoleBuffer& console,
                                                           StopReceiver& stop) = 0;
    // Called once on the serving thread when the loop is over and the thread has let its stop
    // receiver and connection go, before the handler is destroyed (spawn_serving_thread only).
    // The place for a last release that may wait, for an interpreter's lock say, and that the
    // interpreter may end with a forced unwinding, which a destructor could not let through.
    // Throws nothing else.
    virtual void finish() {}
};

// Runs the loop on the calling thread. Returns when the thread is to end; every fault has been
// reported on standard error by then. The handler is destroyed by the caller afterwards.
// The loop waits with the calling thread's signal mask and calls execute_action with
// `action_signals` as the mask, set once for each run of frames received together and
// replaced by the caller's again before the loop waits.
// With a predecessor (the thread that served the connection before, see StopSender::retire),
// nothing is read before the predecessor has ended, and the bytes it received on the same
// socket but did not dispatch are dispatched here.
void run_serving_loop(const Fd& connection, StopReceiver& stop, FrameHandler& handler,
                      const sigset_t& action_signals, Predecessor predecessor = {});

}  // namespace velto::net
