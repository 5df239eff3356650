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
    Ref name =
        steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
    if (name && PyUnicode_Check(name.get())) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size)) {
            return std::string(utf8, static_cast<size_t>(size));
        }
    }
    PyErr_Clear();
    return "<failed to extract type name>";
}

std::string HostException::display() const {
    Ref name = steal(PyObject_GetAttrString(type.get(), "__qualname__"));
    std::string type_name;
    if (!name || !try_str(name.get(), type_name)) {
        PyErr_Clear();
        type_name = "<failed to extract type name>";
    }
    std::string value_text;
    if (!try_str(value.get(), value_text)) value_text = "<exception str() failed>";
    return concat({type_name, ": ", value_text});
}

std::string OperationError::display() const {
    return std::visit(
        Overloaded{
            [](const ServerStateError&) { return std::string(ServerStateError::text); },
            [](const net::SystemError& error) { return error.display(); },
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
