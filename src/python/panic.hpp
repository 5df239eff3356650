// PanicException: the Python exception that faults become at a Python boundary, and the one
// way native code takes a pending Python exception out of the interpreter (which recognises a
// PanicException travelling back through Python code as the fault it is).
#pragma once

#include "python/python.hpp"

#include <string_view>

#include "common/result.hpp"
#include "python/operation_error.hpp"
#include "python/ref.hpp"

namespace velto::python {

// The PanicException class, a direct subclass of BaseException, created on first need and kept
// for the rest of the process. Null (with a Python exception pending) only if it cannot be made.
PyObject* panic_exception_class() noexcept;

// Sets PanicException(message) as the pending exception (or, if that cannot be made, the error
// that prevented it).
void raise_panic_exception(std::string_view message) noexcept;

// Takes the pending exception out of the interpreter (a SystemError stands in if, against the
// C API's contract, none is pending). An exception whose type is exactly PanicException is not
// returned: its traceback is printed on standard error under a banner and the operation goes on
// as a fault with the exception's message (`raise_reported_fault`, it was reported already).
HostException fetch_pending_exception();

// The same recognition for a pending exception the caller means to drop.
void discard_pending_exception();

// A failed C-API call as an error value: fetch_pending_exception() wrapped for Result returns.
inline OperationError pending_error() {
    return OperationError(fetch_pending_exception());
}

// The result of a C-API call that returns a new reference or null with an exception pending.
inline Result<Ref, OperationError> owned(PyObject* new_reference) {
    if (new_reference == nullptr) return fail(pending_error());
    return steal(new_reference);
}

}  // namespace velto::python
