// Waiting for a server's client to go: the timeout argument, and the wait itself, made without
// the interpreter lock and ended by the signal handlers (Ctrl-C) at once.
#pragma once

#include "python/python.hpp"

#include <chrono>
#include <optional>

#include "common/result.hpp"
#include "net/client_watch.hpp"
#include "python/errors.hpp"
#include "python/faults.hpp"
#include "python/ref.hpp"

namespace velto::python {

// None: no limit. Otherwise a real number of seconds: not negative, not NaN (ValueError); an
// infinity, or more than a lifetime, is no limit either.
Result<std::optional<std::chrono::nanoseconds>, OperationError> to_timeout(Handle object);

// Waits on `watch` with the interpreter lock let go: other threads, the serving thread's
// actions and their callback() go on meanwhile. Returns the outcome, or nothing when the
// timeout passed; a signal handler that raises (KeyboardInterrupt) ends the wait with its
// exception.
Result<std::optional<net::ClientOutcome>, OperationError> wait_for_client(
    const net::ClientWatch& watch, std::optional<std::chrono::nanoseconds> timeout);

// The text a program sees for an outcome: "disconnected", "stopped" or "failed".
ObjectResult outcome_text(net::ClientOutcome outcome);

}  // namespace velto::python
