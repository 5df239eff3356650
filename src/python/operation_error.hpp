// The error value of the binding's fallible operations, and its one translation into a Python
// exception.
#pragma once

#include "python/python.hpp"

#include <string>
#include <string_view>
#include <variant>

#include "net/stop_channel.hpp"
#include "common/system_error.hpp"
#include "python/ref.hpp"
#include "wire/frame.hpp"

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
    using Source = std::variant<ServerStateError, SystemError, wire::DecodeError,
                                net::ChannelClosed, HostException>;

    OperationError(ServerStateError source) : source_(source) {}
    OperationError(SystemError source) : source_(std::move(source)) {}
    OperationError(wire::DecodeError source) : source_(std::move(source)) {}
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

// Makes a new exception of `type` with `message` as its only argument, without touching the
// interpreter's pending exception. If that fails, the failure is the error.
OperationError host_error(PyObject* type, std::string_view message);

// The qualified name of an object's type ("int", "Outer.Inner"), or
// "<failed to extract type name>".
std::string type_qualname(PyObject* object);

// str(object) as UTF-8; empty when it fails (the failure is discarded).
bool try_str(PyObject* object, std::string& out);

// str() of an exception value as its messages show it: "<exception str() failed>" when it fails.
std::string exception_text(PyObject* value);

}  // namespace velto::python
