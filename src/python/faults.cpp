// Faults seen from Python: raising PanicException, recognising one that comes back, and the
// non-template part of the boundary.
#include "python/faults.hpp"

#include <unistd.h>

#include <source_location>
#include <string>

#include "common/system_call.hpp"
#include "python/module_state.hpp"

namespace velto::python {

namespace {

constexpr const char* panic_doc =
    "Raised when velto_protocol meets a condition it does not recover from (a fault).\n"
    "\n"
    "It derives from BaseException, not Exception, so that `except Exception` does not\n"
    "swallow it. Its only argument is the fault message; the fault report was written to\n"
    "standard error when the fault occurred.";

constexpr std::string_view recognition_banner =
    "velto_protocol: a fault raised earlier came back through Python code\n"
    "Python stack trace below:\n";

constexpr std::string_view unreadable_panic_message =
    "a PanicException without a readable message came back through Python code";

void flush_python_stderr() noexcept {
    PyObject* stream = PySys_GetObject("stderr");  // borrowed
    if (stream == nullptr || stream == Py_None) return;
    Ref result = steal(PyObject_CallMethod(stream, "flush", nullptr));
    if (!result) PyErr_Clear();
}

// Prints the recognised exception with its traceback, then continues as a fault. The exception
// goes before the fault is thrown: its release can run Python code (the traceback's frames), which
// must not run in the unwinding's noexcept destructors.
[[noreturn]] void continue_as_fault(HostException panic) {
    flush_python_stderr();
    static_cast<void>(write_all(STDERR_FILENO, recognition_banner));
    PyErr_Display(panic.type.get(), panic.value.get(), panic.traceback.get());
    flush_python_stderr();
    std::string message;
    if (!try_str(panic.value.get(), message)) message = std::string(unreadable_panic_message);
    release_now(panic);
    raise_reported_fault(std::move(message));
}

// The recognition installed into fetch_pending_exception.
void recognize_panic(HostException& exception) {
    PyObject* panic_type = panic_exception_class();
    if (panic_type == nullptr) {
        // The class cannot even be made, so the pending exception cannot be one of it.
        PyErr_Clear();
        return;
    }
    if (exception.is_exactly(panic_type)) continue_as_fault(std::move(exception));
}

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

PyObject* panic_exception_class() noexcept {
    // Created with the interpreter lock held and never released: the class outlives every
    // exception object made from it.
    PyObject*& cell = module_state().panic_exception;
    if (cell == nullptr) {
        PyObject* made = PyErr_NewExceptionWithDoc("velto_protocol.PanicException", panic_doc,
                                                   PyExc_BaseException, nullptr);
        // Making a class can run Python code (the cycle collector) that may have made it
        // meanwhile; the first one stays.
        if (cell == nullptr) {
            cell = made;
        } else {
            Py_XDECREF(made);
        }
    }
    return cell;
}

void raise_panic_exception(std::string_view message) noexcept {
    PyObject* type = panic_exception_class();
    if (type == nullptr) return;  // the class could not be made: that error stays pending
    Ref text = steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return;
    Ref instance = steal(PyObject_CallOneArg(type, text.get()));
    if (!instance) return;
    PyErr_SetObject(type, instance.get());
}

void install_fault_recognition() noexcept {
    recognize_exceptions_with(&recognize_panic);
}

void raise_for_fault(const Fault& fault) noexcept {
    // Reported where it was raised; here it only becomes the Python exception.
    raise_panic_exception(fault.message());
}

void raise_for_unexpected(const std::exception& exception) noexcept {
    report_and_raise(exception.what(), std::source_location::current());
}

void raise_for_unknown() noexcept {
    report_and_raise("an unknown C++ exception reached a Python entry point",
                     std::source_location::current());
}

}  // namespace velto::python
