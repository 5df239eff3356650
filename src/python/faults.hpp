// The fault boundary: PanicException, the recognition of one that comes back through Python
// code, and the wrapper through which every entry point the interpreter calls runs its body, so
// that deferred releases are carried out, errors become Python exceptions in one place, faults
// become PanicException, and no C++ exception reaches the interpreter.
#pragma once

#include "python/python.hpp"

#include <cxxabi.h>

#include <exception>
#include <new>
#include <string_view>

#include "common/fault.hpp"
#include "common/result.hpp"
#include "python/errors.hpp"
#include "python/ref.hpp"

namespace velto::python {

// The PanicException class, a direct subclass of BaseException, created on first need and kept
// for the rest of the process. Null (with a Python exception pending) only if it cannot be made.
PyObject* panic_exception_class() noexcept;

// Sets PanicException(message) as the pending exception (or, if that cannot be made, the error
// that prevented it).
void raise_panic_exception(std::string_view message) noexcept;

// Makes fetch_pending_exception recognise a fault coming back: an exception whose type is
// exactly PanicException is not returned; its traceback is printed on standard error under a
// banner and the operation goes on as a fault with the exception's message
// (`raise_reported_fault`, it was reported already). Called at import.
void install_fault_recognition() noexcept;

using ObjectResult = Result<Ref, OperationError>;
// What the catch clauses do, shared by every instantiation of the boundary.
void raise_for_fault(const Fault& fault) noexcept;
void raise_for_unexpected(const std::exception& exception) noexcept;
void raise_for_unknown() noexcept;

// Runs `body` (returning ObjectResult) and hands the interpreter a new reference, or null with
// the exception set. Not noexcept on purpose: the unwinding with which the interpreter ends a
// thread during finalization must pass through, and only that is let through.
template <class Body>
PyObject* object_entry(Body&& body) {
    drain_deferred_releases();
    try {
        ObjectResult result = body();
        if (result.ok()) return std::move(result).value().release();
        raise_operation_error(std::move(result).error());
    } catch (const Fault& fault) {
        raise_for_fault(fault);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::exception& exception) {
        raise_for_unexpected(exception);
    } catch (...) {
        raise_for_unknown();
    }
    return nullptr;
}

}  // namespace velto::python
