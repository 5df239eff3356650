// Fetching pending exceptions, the display texts of the binding's errors and their one
// translation into Python exceptions.
#include "python/errors.hpp"

#include <atomic>
#include <cassert>
#include <iterator>
#include <new>

namespace velto::python {

namespace {

template <class... Visitors>
struct Overloaded : Visitors... {
    using Visitors::operator()...;
};

// Set once at import, read by every fetch (the serving thread's included).
std::atomic<ExceptionRecognition> installed_recognition{nullptr};

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

void release_now(HostException& exception) {
    release_now(exception.traceback);
    release_now(exception.value);
    release_now(exception.type);
}

std::string HostException::display() const {
    return concat({qualname_of(type.get()), ": ", exception_text(value.get())});
}

std::string HostException::traceback_text() const {
    Ref module = steal(PyImport_ImportModule("traceback"));
    Ref lines;
    if (module) {
        PyObject* frames = traceback ? traceback.get() : Py_None;
        lines = steal(PyObject_CallMethod(module.get(), "format_exception", "OOO", type.get(),
                                          value ? value.get() : Py_None, frames));
    }
    Ref nothing = steal(PyUnicode_FromStringAndSize(nullptr, 0));
    Ref joined = lines && nothing ? steal(PyUnicode_Join(nothing.get(), lines.get())) : Ref();
    std::string text;
    if (joined) {
        if (auto utf8 = utf8_text(joined.get())) text = std::move(utf8).value();
    }
    // A traceback that cannot be rendered leaves the report with its message alone.
    PyErr_Clear();
    return text;
}

namespace {

// The Python exception of each kind the module raises itself, and the name its messages show.
struct KindRow {
    ExceptionKind kind;
    const char* name;
    PyObject* (*type)() noexcept;
};

constexpr KindRow kind_table[] = {
    {ExceptionKind::TypeError, "TypeError", []() noexcept { return PyExc_TypeError; }},
    {ExceptionKind::OverflowError, "OverflowError", []() noexcept { return PyExc_OverflowError; }},
    {ExceptionKind::ValueError, "ValueError", []() noexcept { return PyExc_ValueError; }},
    {ExceptionKind::ImportError, "ImportError", []() noexcept { return PyExc_ImportError; }},
    {ExceptionKind::RuntimeError, "RuntimeError", []() noexcept { return PyExc_RuntimeError; }},
};

const KindRow& row_of(ExceptionKind kind) noexcept {
    for (const KindRow& row : kind_table) {
        if (row.kind == kind) return row;
    }
    // Host exceptions carry their own type; nothing else is without a row.
    assert(false);
    return kind_table[std::size(kind_table) - 1];
}

}  // namespace

ExceptionKind OperationError::kind() const noexcept {
    return std::visit(Overloaded{
                          [](const RaisedError& raised) { return raised.kind; },
                          [](const HostException&) { return ExceptionKind::Host; },
                          [](const auto&) { return ExceptionKind::RuntimeError; },
                      },
                      source_);
}

std::string OperationError::message() const {
    return std::visit(
        Overloaded{
            [](const ServerStateError&) { return std::string(ServerStateError::text); },
            [](const SystemError& error) { return error.display(); },
            [](const net::ChannelClosed&) { return std::string(net::ChannelClosed::text); },
            [](const RaisedError& raised) { return raised.message; },
            [](const HostException& exception) { return exception_text(exception.value.get()); },
        },
        source_);
}

std::string OperationError::display() const {
    if (const auto* raised = std::get_if<RaisedError>(&source_)) {
        return concat({row_of(raised->kind).name, ": ", raised->message});
    }
    if (const auto* exception = std::get_if<HostException>(&source_)) return exception->display();
    return message();
}

void raise_operation_error(OperationError&& error) noexcept {
    HostException* exception = std::get_if<HostException>(&error.source_);
    HostException made;
    try {
        if (const auto* raised = std::get_if<RaisedError>(&error.source_)) {
            // Made and set as it is, like an exception from the interpreter: not chained to one
            // being handled where the call was made.
            made = new_exception(row_of(raised->kind).type(), raised->message);
            exception = &made;
        } else if (exception == nullptr) {
            std::string text = error.message();
            PyErr_SetString(row_of(error.kind()).type(), text.c_str());
            return;
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return;
    }
    PyErr_Restore(exception->type.release(), exception->value.release(),
                  exception->traceback.release());
}

HostException new_exception(PyObject* type, std::string_view message) {
    Ref text =
        steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) return fetch_pending_exception();
    Ref value = steal(PyObject_CallOneArg(type, text.get()));
    if (!value) return fetch_pending_exception();
    HostException exception;
    exception.type = borrow(reinterpret_cast<PyObject*>(Py_TYPE(value.get())));
    exception.value = std::move(value);
    return exception;
}

}  // namespace velto::python
