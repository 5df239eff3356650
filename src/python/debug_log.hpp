// Debug-level diagnostic records through Python's logging, under the logger
// "velto_protocol.server.com_socket". The module installs no handler: unless the program
// configures logging, a record costs one isEnabledFor call and is never built.
#pragma once

#include "python/python.hpp"

#include <string_view>

#include "common/result.hpp"
#include "python/errors.hpp"

namespace velto::python {

// Logs `message` at DEBUG level if the logger is enabled for it. Needs the interpreter lock.
// Fails with the exception of the logging call (handlers' own errors stay inside logging).
Status<OperationError> debug_record(std::string_view message);

}  // namespace velto::python
