// Faults seen from Python: raising PanicException, and recognising one that comes back.
#include "python/panic.hpp"

#include <unistd.h>

#include <string>

#include "common/fault.hpp"
#include "common/system_call.hpp"

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

HostException fetch_raw() {
    HostException exception;
#if PY_VERSION_HEX >= 0x030C0000
    exception.value = steal(PyErr_GetRaisedException());
    if (exception.value) {
        exception.type = borrow(reinterpret_cast<PyObject*>(Py_TYPE(exception.value.get())));
        exception.traceback = steal(PyException_GetTraceback(exception.value.get()));
    }
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type != nullptr) {
        PyErr_NormalizeException(&type, &value, &traceback);
        if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    }
    exception.type = steal(type);
    exception.value = steal(value);
    exception.traceback = steal(traceback);
#endif
    return exception;
}

}  // namespace

PyObject* panic_exception_class() noexcept {
    // Created with the interpreter lock held and never released: the class outlives every
    // exception object made from it.
    static PyObject* cell = nullptr;
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

HostException fetch_pending_exception() {
    HostException exception = fetch_raw();
    if (!exception.type) {
        PyErr_SetString(PyExc_SystemError, "an operation failed without setting an exception");
        exception = fetch_raw();
    }
    PyObject* panic_type = panic_exception_class();
    if (panic_type == nullptr) {
        // The class cannot even be made, so the pending exception cannot be one of it.
        PyErr_Clear();
        return exception;
    }
    if (exception.is_exactly(panic_type)) continue_as_fault(std::move(exception));
    return exception;
}

void discard_pending_exception() {
    HostException dropped = fetch_pending_exception();
}

}  // namespace velto::python
