// Display texts of the binding's errors and their one translation into Python exceptions.
#include "python/operation_error.hpp"

#include "python/panic.hpp"
#include "python/text.hpp"

namespace velto::python {

namespace {

template <class... Visitors>
struct Overloaded : Visitors... {
    using Visitors::operator()...;
};

// The __qualname__ of a class as UTF-8, or "<failed to extract type name>".
std::string qualname_of(PyObject* type) {
    Ref name = steal(PyObject_GetAttrString(type, "__qualname__"));
    if (name && PyUnicode_Check(name.get())) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size)) {
            return std::string(utf8, static_cast<size_t>(size));
        }
    }
    PyErr_Clear();
    return "<failed to extract type name>";
}

}  // namespace

bool try_str(PyObject* object, std::string& out) {
    Ref text = steal(PyObject_Str(object));
    if (!text) {
        PyErr_Clear();
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return false;
    }
    out.assign(utf8, static_cast<size_t>(size));
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
            [](const wire::DecodeError& error) { return error.text; },
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
