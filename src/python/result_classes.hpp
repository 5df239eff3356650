// ConfirmResult and ErrorResult, the payloads a Python program answers with, and the conversion
// of any Python object into a result payload (ResultBinding: Confirm tried before Error).
#pragma once

#include "python/python.hpp"

#include "python/classes.hpp"
#include "wire/values.hpp"

namespace velto::python {

ClassResult confirm_result_class();
ClassResult error_result_class();

// A copy of the payload of a ConfirmResult or ErrorResult. Anything else fails with a TypeError
// naming both alternatives and why each failed; its display text is what callback reports after
// "Python data failed to be bound: ".
Result<wire::ResultRegistry, OperationError> to_result_binding(Handle data);

}  // namespace velto::python
