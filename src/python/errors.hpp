// The binding's error vocabulary: the error value of every fallible operation and the Python
// exception kind it becomes, taking pending exceptions out of the interpreter, the constructors
// of the exceptions the module raises, and the one translation back into a Python exception.
#pragma once

#include "python/python.hpp"

#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "common/result.hpp"
#include "common/system_error.hpp"
#include "net/channel_closed.hpp"
#include "python/ref.hpp"
#include "python/texts.hpp"

namespace velto::python {

// An operation needs a connection that the server object does not hold.
struct ServerStateError {
    static constexpr std::string_view text = "Bad Server state";
};

// A Python exception taken out of the interpreter (or made by this layer), held by strong
// references: normalized, with the traceback also attached to the value.
struct HostException {
    Ref type;
    Ref value;
    Ref traceback;

    // The type's qualified name, ": ", and str() of the value ("<exception str() failed>" when
    // that fails). Needs the interpreter lock.
    std::string display() const;
    // The exception as the interpreter prints one that nobody caught: "Traceback (most recent
    // call last):", file, line and code of each frame, chained exceptions, the exception's own
    // line. Needs the interpreter lock; runs Python code (it reads the source files). Empty
    // when it cannot be rendered.
    std::string traceback_text() const;
    // True when the exception's type is exactly `type` (subclasses do not count).
    bool is_exactly(PyObject* type) const noexcept { return this->type.get() == type; }
};

// Lets go of the exception's three references at once (see release_now of a Ref).
void release_now(HostException& exception);

// The Python exception an OperationError becomes: one of the module's own kinds, raised with
// the module's text, or a host exception passed through as it was.
enum class ExceptionKind {
    TypeError,
    OverflowError,
    ValueError,
    ImportError,
    RuntimeError,
    Host,
};

// An exception of one of the module's own kinds (never Host), made only when it is raised.
struct RaisedError {
    ExceptionKind kind;
    std::string message;
};

class OperationError {
  public:
    using Source =
        std::variant<ServerStateError, SystemError, net::ChannelClosed, RaisedError, HostException>;

    OperationError(ServerStateError source) : source_(source) {}
    OperationError(SystemError source) : source_(std::move(source)) {}
    OperationError(net::ChannelClosed source) : source_(source) {}
    OperationError(RaisedError source) : source_(std::move(source)) {}
    OperationError(HostException source) : source_(std::move(source)) {}

    // What the error becomes: the state, system and channel errors are RuntimeErrors.
    ExceptionKind kind() const noexcept;

    const HostException* host_exception() const noexcept {
        return std::get_if<HostException>(&source_);
    }
    HostException* host_exception() noexcept { return std::get_if<HostException>(&source_); }

    // The exception's message: the text a Python caller sees as its str().
    // Needs the interpreter lock for host exceptions.
    std::string message() const;
    // The text that names the error in another message: the message of a state, system or
    // channel error, else the exception's type name, ": " and its message ("TypeError: ...").
    // Needs the interpreter lock for host exceptions.
    std::string display() const;

    // The one translation into a Python exception, by kind (see the table in errors.cpp): a
    // host exception is set again unchanged (type, value, traceback). Needs the interpreter
    // lock; leaves the exception pending and the error empty.
    friend void raise_operation_error(OperationError&& error) noexcept;

  private:
    Source source_;
};

void raise_operation_error(OperationError&& error) noexcept;

// Takes the pending exception out of the interpreter (a SystemError stands in if, against the
// C API's contract, none is pending), then passes it to the recognition installed with
// `recognize_exceptions_with`, which may end the operation as a fault instead.
HostException fetch_pending_exception();

// The pending exception as it is, without the recognition (a PanicException stays one): for
// an exception handed on as an object, to a future's set_exception() say. Empty when none.
HostException fetch_exception_as_is();

// The same for a pending exception the caller means to drop.
void discard_pending_exception();

// Looks at every exception fetch_pending_exception takes before it is returned; may throw a
// `Fault` instead. The fault room installs one once, at import, before anything is fetched.
using ExceptionRecognition = void (*)(HostException& exception);
void recognize_exceptions_with(ExceptionRecognition recognition) noexcept;

// A failed C-API call as an error value: fetch_pending_exception() wrapped for Result returns.
inline OperationError pending_error() {
    return OperationError(fetch_pending_exception());
}

// The result of a C-API call that returns a new reference or null with an exception pending.
inline Result<Ref, OperationError> owned(PyObject* new_reference) {
    if (new_reference == nullptr) return fail(pending_error());
    return steal(new_reference);
}

// The kinds of exception the module raises with its own texts.
inline OperationError type_error(std::string message) {
    return RaisedError{ExceptionKind::TypeError, std::move(message)};
}
inline OperationError overflow_error(std::string message) {
    return RaisedError{ExceptionKind::OverflowError, std::move(message)};
}
inline OperationError value_error(std::string message) {
    return RaisedError{ExceptionKind::ValueError, std::move(message)};
}
inline OperationError import_error(std::string message) {
    return RaisedError{ExceptionKind::ImportError, std::move(message)};
}
inline OperationError runtime_error(std::string message) {
    return RaisedError{ExceptionKind::RuntimeError, std::move(message)};
}

// A new exception of `type` (a class) with `message` as its only argument, without touching the
// interpreter's pending exception. If that fails, the failure is the exception.
HostException new_exception(PyObject* type, std::string_view message);

// The UTF-8 text of a str object; the pending exception's error when it has none (a lone
// surrogate, say).
Result<std::string, OperationError> utf8_text(PyObject* text);

}  // namespace velto::python
