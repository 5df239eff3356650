// ConfirmResult and ErrorResult (constructor, read-only attribute) and the ResultBinding
// conversion with its multi-line TypeError.
#include "python/result_classes.hpp"

#include <string>

#include "python/arguments.hpp"
#include "python/attributes.hpp"
#include "python/errors.hpp"

namespace velto::python {

namespace {

ClassCell confirm_cell;
ClassCell error_cell;

PyObject* confirm_result_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr Signature<1> signature{"ConfirmResult.__new__()", {"status"}};
    return object_entry([&]() -> ObjectResult {
        VELTO_TRY(auto bound, bind(signature, CallArguments::tuple_and_dict(args, kwargs)));
        VELTO_TRY(bool status, argument("status", to_bool(bound[0])));
        return new_object(type, wire::ConfirmResult{status});
    });
}

PyObject* confirm_result_status(PyObject* self, void*) {
    return read_attribute<wire::ConfirmResult>(
        self, confirm_result_class, "ConfirmResult",
        [](const wire::ConfirmResult& result) { return new_bool(result.status); });
}

PyObject* error_result_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr Signature<1> signature{"ErrorResult.__new__()", {"error"}};
    return object_entry([&]() -> ObjectResult {
        VELTO_TRY(auto bound, bind(signature, CallArguments::tuple_and_dict(args, kwargs)));
        VELTO_TRY(std::string error, argument("error", to_text(bound[0])));
        return new_object(type, wire::ErrorResult{std::move(error)});
    });
}

PyObject* error_result_error(PyObject* self, void*) {
    return read_attribute<wire::ErrorResult>(
        self, error_result_class, "ErrorResult",
        [](const wire::ErrorResult& result) { return new_text(result.error); });
}

PyGetSetDef confirm_result_getset[] = {
    {"status", confirm_result_status, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef error_result_getset[] = {
    {"error", error_result_error, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot confirm_result_slots[] = {
    {Py_tp_new, slot(confirm_result_new)},
    {Py_tp_dealloc, slot(object_dealloc<wire::ConfirmResult>)},
    {Py_tp_getset, confirm_result_getset},
    {Py_tp_doc, const_cast<char*>("ConfirmResult(status)\n--\n\n")},
    {0, nullptr},
};

PyType_Slot error_result_slots[] = {
    {Py_tp_new, slot(error_result_new)},
    {Py_tp_dealloc, slot(object_dealloc<wire::ErrorResult>)},
    {Py_tp_getset, error_result_getset},
    {Py_tp_doc, const_cast<char*>("ErrorResult(error)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec confirm_result_spec = {
    .name = "builtins.ConfirmResult",
    .basicsize = sizeof(Object<wire::ConfirmResult>),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = confirm_result_slots,
};

PyType_Spec error_result_spec = {
    .name = "builtins.ErrorResult",
    .basicsize = sizeof(Object<wire::ErrorResult>),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = error_result_slots,
};

// "TypeError: failed to extract field ResultBinding::Confirm.0, caused by TypeError: ..."
std::string alternative_failure(std::string_view alternative, const OperationError& cause) {
    return concat({"TypeError: failed to extract field ResultBinding::", alternative,
                   ".0, caused by ", cause.display()});
}

}  // namespace

ClassResult confirm_result_class() {
    return confirm_cell.get_or_create([] { return create_class(confirm_result_spec); });
}

ClassResult error_result_class() {
    return error_cell.get_or_create([] { return create_class(error_result_spec); });
}

Result<wire::ResultRegistry, OperationError> to_result_binding(Handle data) {
    auto confirm = to_object<wire::ConfirmResult>(data, confirm_result_class(), "ConfirmResult");
    if (confirm.ok()) {
        VELTO_TRY(SharedBorrow shared, SharedBorrow::take(confirm.value()->borrow_state));
        return wire::ResultRegistry(confirm.value()->value);
    }
    auto error = to_object<wire::ErrorResult>(data, error_result_class(), "ErrorResult");
    if (error.ok()) {
        VELTO_TRY(SharedBorrow shared, SharedBorrow::take(error.value()->borrow_state));
        return wire::ResultRegistry(error.value()->value);
    }
    return fail(type_error(
        concat({"failed to extract enum ResultBinding ('Confirm | Error')",
                "\n- variant Confirm (Confirm): ", alternative_failure("Confirm", confirm.error()),
                "\n- variant Error (Error): ", alternative_failure("Error", error.error())})));
}

}  // namespace velto::python
