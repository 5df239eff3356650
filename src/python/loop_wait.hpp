// A wait on the program's running event loop for a descriptor to become readable: what
// open_async() and wait_disconnected_async() await. It holds neither the interpreter lock nor
// the loop while it waits, and leaves nothing behind however it ends (result, timeout, error,
// cancellation of the awaiting task).
#pragma once

#include "python/python.hpp"

#include <functional>
#include <optional>

#include "net/fd.hpp"
#include "python/errors.hpp"
#include "python/faults.hpp"
#include "python/ref.hpp"

namespace velto::python {

// Called on the loop's thread with the descriptor each time it is readable: nothing to go on
// waiting, or what the wait ends with (an error, or a fault, becomes the awaiting task's
// exception).
using ReadyStep = std::function<Result<std::optional<Ref>, OperationError>(const net::Fd&)>;

struct LoopWaitRequest {
    net::Fd readable;  // owned by the wait from here on, closed when it ends
    ReadyStep ready;
    // After this long the wait ends with None; none: no limit.
    std::optional<double> timeout_seconds;
};

// Starts the wait on the loop running on this thread and returns its future, which the caller's
// coroutine awaits. Cancelling the future (the awaiting task's cancellation does) stops
// watching the descriptor, cancels the timer and closes the descriptor.
ObjectResult start_loop_wait(LoopWaitRequest request);

}  // namespace velto::python
