// The dispatcher of a serving thread: finds the action registered for each decoded frame in the
// thread's own registry snapshot and calls it with the widget value as a Python object.
#pragma once

#include "python/python.hpp"

#include <memory>
#include <string>
#include <unordered_map>

#include "common/result.hpp"
#include "net/serving_loop.hpp"
#include "python/errors.hpp"
#include "python/ref.hpp"

namespace velto::python {

// Action key ("ClickButton_3") to the registered Python object.
using ActionRegistry = std::unordered_map<std::string, Ref>;

// A handler for net::spawn_serving_thread that owns `snapshot` (taken by serve()) and `loop`
// (the event loop running where serve() was called, or empty), on which the awaitables that
// actions return run. Made on a Python thread with the interpreter lock held; everything after
// runs on the serving thread, which holds the lock only around the call of an action (not while
// it waits for the action's coroutine) and when it lets go of the interpreter at its end. Fails
// only when a widget class cannot be made.
Result<std::unique_ptr<net::FrameHandler>, OperationError> make_serving_dispatch(
    ActionRegistry snapshot, Ref loop);

}  // namespace velto::python
