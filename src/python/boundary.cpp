// The non-template part of the fault boundary.
#include "python/boundary.hpp"

#include <source_location>

#include "python/panic.hpp"

namespace velto::python {

void raise_for_fault(const Fault& fault) noexcept {
    // Reported where it was raised; here it only becomes the Python exception.
    raise_panic_exception(fault.message());
}

namespace {

// An exception no code meant to throw is a fault like any other, but nobody reported it yet.
void report_and_raise(const char* message, std::source_location where) noexcept {
    try {
        report_fault(Fault(message, where));
    } catch (const std::bad_alloc&) {
        // No memory for the report; the exception below still tells Python.
    }
    raise_panic_exception(message);
}

}  // namespace

void raise_for_unexpected(const std::exception& exception) noexcept {
    report_and_raise(exception.what(), std::source_location::current());
}

void raise_for_unknown() noexcept {
    report_and_raise("an unknown C++ exception reached a Python entry point",
                     std::source_location::current());
}

}  // namespace velto::python
