// The binding's error vocabulary: the error value of every fallible operation, taking pending
// exceptions out of the interpreter, the constructors of the exceptions the module raises, and
// the one translation back into a Python exception.
#pragma once

#include "python/python.hpp"

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "common/result.hpp"
#include "common/system_error.hpp"
#include "net/stop_channel.hpp"
#include "python/ref.hpp"

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
    // True when the exception's type is exactly `type` (subclasses do not count).
    bool is_exactly(PyObject* type) const noexcept { return this->type.get() == type; }
};

// Lets go of the exception's three references at once (see release_now of a Ref).
void release_now(HostException& exception);

class OperationError {
  public:
    using Source = std::variant<ServerStateError, SystemError, net::ChannelClosed, HostException>;

    OperationError(ServerStateError source) : source_(source) {}
    OperationError(SystemError source) : source_(std::move(source)) {}
    OperationError(net::ChannelClosed source) : source_(source) {}
    OperationError(HostException source) : source_(std::move(source)) {}

    const Source& source() const noexcept { return source_; }
    const HostException* host_exception() const noexcept {
        return std::get_if<HostException>(&source_);
    }
    HostException* host_exception() noexcept { return std::get_if<HostException>(&source_); }

    // The text a Python caller sees in the RuntimeError (or the host exception's display
    // text). Needs the interpreter lock for host exceptions.
    std::string display() const;

    // The one translation into a Python exception: a host exception is set again unchanged
    // (type, value, traceback); every other source becomes RuntimeError with the display text.
    // Needs the interpreter lock; leaves the exception pending and the error empty.
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

// Makes a new exception of `type` with `message` as its only argument, without touching the
// interpreter's pending exception. If that fails, the failure is the error.
OperationError host_error(PyObject* type, std::string_view message);

// The three kinds of exception the module raises with its own texts.
inline OperationError type_error(std::string_view message) {
    return host_error(PyExc_TypeError, message);
}
inline OperationError overflow_error(std::string_view message) {
    return host_error(PyExc_OverflowError, message);
}
inline OperationError runtime_error(std::string_view message) {
    return host_error(PyExc_RuntimeError, message);
}

// The UTF-8 text of a str object; the pending exception's error when it has none (a lone
// surrogate, say).
Result<std::string, OperationError> utf8_text(PyObject* text);

// The qualified name of an object's type ("int", "Outer.Inner"), or
// "<failed to extract type name>".
std::string type_qualname(PyObject* object);

// str(object) as UTF-8; empty when it fails (the failure is discarded).
bool try_str(PyObject* object, std::string& out);

// str() of an exception value as its messages show it: "<exception str() failed>" when it fails.
std::string exception_text(PyObject* value);

// Builds a message text from pieces in one allocation.
inline std::string concat(std::initializer_list<std::string_view> pieces) {
    std::size_t size = 0;
    for (std::string_view piece : pieces) size += piece.size();
    std::string text;
    text.reserve(size);
    for (std::string_view piece : pieces) text.append(piece);
    return text;
}

}  // namespace velto::python

// VELTO_TRY: unwraps a Result or returns its error from the enclosing function, so that the
// binding's entry points read as the straight sequence of steps they are.
#define VELTO_TRY_CONCAT_INNER(a, b) a##b
#define VELTO_TRY_CONCAT(a, b) VELTO_TRY_CONCAT_INNER(a, b)

// `VELTO_TRY(auto x, expression);` declares x from the success value.
#define VELTO_TRY(declaration, expression) \
    VELTO_TRY_IMPL(declaration, expression, VELTO_TRY_CONCAT(velto_try_result_, __LINE__))

#define VELTO_TRY_IMPL(declaration, expression, result)                \
    auto result = (expression);                                        \
    if (!result.ok()) return ::velto::fail(std::move(result).error()); \
    declaration = std::move(result).value()

// For a Status (no value to keep).
#define VELTO_CHECK(expression) \
    VELTO_CHECK_IMPL(expression, VELTO_TRY_CONCAT(velto_check_result_, __LINE__))

#define VELTO_CHECK_IMPL(expression, result) \
    auto result = (expression);              \
    if (!result.ok()) return ::velto::fail(std::move(result).error())
