// What on() points out about a registration that will not be dispatched as the program expects:
// warnings, not errors, as the registry stores any widget text and any object.
#pragma once

#include "python/python.hpp"

#include <string_view>

#include "common/result.hpp"
#include "python/errors.hpp"

namespace velto::python {

// Warns with a RuntimeWarning, at the line of the program that called on() (or applied the
// decorator), when the widget text of `key` is no widget kind (naming the closest one), when
// `action` cannot be called, and when the server is `serving`: its running thread keeps the
// registry it started with. The error is the exception a warnings filter made of a warning; the
// caller then stores nothing. Needs the interpreter lock; runs Python code (the filters, a
// showwarning hook).
Status<OperationError> warn_about_registration(std::string_view key, PyObject* action,
                                               bool serving);

}  // namespace velto::python
