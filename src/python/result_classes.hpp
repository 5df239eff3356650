// The classes of a program's answer through callback(id, status, data): the enumerations
// ServerStatus and Protocol, whose members are made once, with their class, and are the only
// instances there are; ConfirmResult and ErrorResult, the payloads; and the conversions of the
// status and of any Python object into a result payload (ResultBinding: Confirm tried before
// Error).
#pragma once

#include "python/python.hpp"

#include "python/classes.hpp"
#include "wire/values.hpp"

namespace velto::python {

ClassResult server_status_class();
ClassResult protocol_class();

// The status argument of callback: a ServerStatus instance only (target "ServerStatus"); the
// caller wraps the failure with `argument("status", ...)`.
Result<wire::ServerStatus, OperationError> to_server_status(Handle object);

ClassResult confirm_result_class();
ClassResult error_result_class();

// A copy of the payload of a ConfirmResult or ErrorResult. Anything else fails with a TypeError
// naming both alternatives and why each failed; its display text is what callback reports after
// "Python data failed to be bound: ".
Result<wire::ResultRegistry, OperationError> to_result_binding(Handle data);

}  // namespace velto::python
