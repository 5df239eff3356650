// Starting the detached serving thread of a connection.
#pragma once

#include <memory>

#include "common/result.hpp"
#include "common/system_error.hpp"
#include "net/fd.hpp"
#include "net/serving_loop.hpp"
#include "net/stop_channel.hpp"

namespace velto::net {

// Starts a detached thread that owns the connection, the receiver and the handler, runs the
// serving loop and then releases them in the order receiver, connection, handler (calling its
// finish() before it is destroyed). The thread waits with every signal blocked, so that
// signals go to the interpreter's main thread, where Ctrl-C is expected to land; each action
// runs with the calling thread's mask, which processes the action starts inherit.
// A thread torn down by forced unwinding (pthread_exit, which the interpreter may do to a
// thread during its finalization) releases the receiver and the connection but never
// destroys the handler. When the thread cannot be started, all three are released on the
// calling thread before the error returns. `settings` are the loop's (see run_serving_loop).
Status<SystemError> spawn_serving_thread(Fd connection, StopReceiver stop,
                                         std::unique_ptr<FrameHandler> handler,
                                         Predecessor predecessor = {},
                                         ServingSettings settings = {});

}  // namespace velto::net
