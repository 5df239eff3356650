// Fetching pending exceptions, the display texts of the binding's errors and their one
// translation into Python exceptions.
#include "python/errors.hpp"

#include <atomic>

namespace velto::python {

namespace {

template <class... Visitors>
struct Overloaded : Visitors... {
    using Visitors::operator()...;
};

// Set once at import, read by every fetch (the serving thread's included).
std::atomic<ExceptionRecognition> installed_recognition{nullptr};

// The __qualname__ of a class as UTF-8, or "<failed to extract type name>".
std::string qualname_of(PyObject* type) {
    Ref name = steal(PyObject_GetAttrString(type, "__qualname__"));
    if (name && PyUnicode_Check(name.get())) {
        if (auto text = utf8_text(name.get())) return std::move(text).value();
    }
    PyErr_Clear();
    return "<failed to extract type name>";
}

}  // namespace

HostException fetch_exception_as_is() {
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

HostException fetch_pending_exception() {
    HostException exception = fetch_exception_as_is();
    if (!exception.type) {
        PyErr_SetString(PyExc_SystemError, "an operation failed without setting an exception");
        exception = fetch_exception_as_is();
    }
    if (ExceptionRecognition recognition = installed_recognition.load(std::memory_order_acquire)) {
        recognition(exception);
    }
    return exception;
}

void discard_pending_exception() {
    HostException dropped = fetch_pending_exception();
}

void recognize_exceptions_with(ExceptionRecognition recognition) noexcept {
    installed_recognition.store(recognition, std::memory_order_release);
}

Result<std::string, OperationError> utf8_text(PyObject* text) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8 == nullptr) return fail(pending_error());
    return std::string(utf8, static_cast<std::size_t>(size));
}

bool try_str(PyObject* object, std::string& out) {
    Ref text = steal(PyObject_Str(object));
    if (!text) {
        PyErr_Clear();
        return false;
    }
    auto utf8 = utf8_text(text.get());
    if (!utf8) return false;
    out = std::move(utf8).value();
    return true;
}

std::string type_qualname(PyObject* object) {
    return qualname_of(reinterpret_cast<PyObject*>(Py_TYPE(object)));
}

std::string exception_text(PyObject* value) {
    std::string text;
    if (!try_str(value, text)) text = "<exception str() failed>";
    return text;
}

void release_now(HostException& exception) {
    release_now(exception.traceback);
    release_now(exception.value);
    release_now(exception.type);
}

std::string HostException::display() const {
    return concat({qualname_of(type.get()), ": ", exception_text(value.get())});
}

std::string OperationError::display() const {
    return std::visit(
        Overloaded{
            [](const ServerStateError&) { return std::string(ServerStateError::text); },
            [](const SystemError& error) { return error.display(); },
            [](const net::ChannelClosed&) { return std::string(net::ChannelClosed::text); },
            [](const HostException& exception) { return exception.display(); },
        },
        source_);
}

void raise_operation_error(OperationError&& error) noexcept {
    if (HostException* exception = std::get_if<HostException>(&error.source_)) {
        PyErr_Restore(exception->type.release(), exception->value.release(),
                      exception->traceback.release());
        return;
    }
    try {
        std::string text = error.display();
        PyErr_SetString(PyExc_RuntimeError, text.c_str());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
}

OperationError host_error(PyObject* type, std::string_view message) {
    Ref text =
        steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) return pending_error();
    Ref value = steal(PyObject_CallOneArg(type, text.get()));
    if (!value) return pending_error();
    HostException exception;
    exception.type = borrow(reinterpret_cast<PyObject*>(Py_TYPE(value.get())));
    exception.value = std::move(value);
    return OperationError(std::move(exception));
}

}  // namespace velto::python
