// ServerStatus and Protocol: enumerations whose members are made once, with their class, and
// are the only instances there are.
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

}  // namespace velto::python
