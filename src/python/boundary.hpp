// The fault boundary: every entry point that the interpreter calls runs its body through one of
// these, so that deferred releases are carried out, errors become Python exceptions in one
// place, faults become PanicException, and no C++ exception reaches the interpreter.
#pragma once

#include "python/python.hpp"

#include <cxxabi.h>

#include <exception>
#include <new>

#include "common/fault.hpp"
#include "common/result.hpp"
#include "python/operation_error.hpp"
#include "python/ref.hpp"

namespace velto::python {

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
