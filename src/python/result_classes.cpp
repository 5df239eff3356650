// ServerStatus and Protocol (members, representation, int(), equality with members and
// integers, ordering answered with NotImplemented, no hash); ConfirmResult and ErrorResult
// (constructor, read-only attribute) and the ResultBinding conversion with its multi-line
// TypeError.
#include "python/result_classes.hpp"

#include <array>
#include <cstdint>
#include <string>

#include "python/arguments.hpp"
#include "python/classes.hpp"
#include "python/conversions.hpp"
#include "python/errors.hpp"
#include "python/faults.hpp"

namespace velto::python {

namespace {

using Index = std::uint8_t;

struct Enumeration {
    std::string_view class_name;
    std::array<const char*, 4> members;  // in declared order: the index is the position
    PyType_Spec type_spec;
    ClassCell ModuleState::*cell;
};

template <Enumeration& E>
ClassResult enumeration_class();

// The shared-access read of a member's index, for the slots below.
template <Enumeration& E, class Use>
PyObject* with_index(PyObject* self, Use&& use) {
    return read_attribute<Index>(self, enumeration_class<E>, E.class_name, std::forward<Use>(use));
}

template <Enumeration& E>
PyObject* enumeration_repr(PyObject* self) {
    return with_index<E>(self, [](Index index) {
        return new_text(concat({E.class_name, ".", E.members[index]}));
    });
}

template <Enumeration& E>
PyObject* enumeration_int(PyObject* self) {
    return with_index<E>(self, [](Index index) { return new_int(index); });
}

// Equal to the same member, or to an integer (bool and __index__ included) equal to the index.
// Everything else is NotImplemented, so the interpreter falls back to identity.
template <Enumeration& E>
PyObject* enumeration_richcompare(PyObject* self, PyObject* other, int op) {
    return with_index<E>(self, [&](Index index) -> ObjectResult {
        Py_ssize_t other_index = 0;
        VELTO_TRY(PyTypeObject * type, enumeration_class<E>());
        if (PyObject_TypeCheck(other, type)) {
            Object<Index>* member = object_cast<Index>(other);
            VELTO_TRY(SharedBorrow shared, SharedBorrow::take(member->borrow_state));
            other_index = member->value;
        } else {
            other_index = PyNumber_AsSsize_t(other, PyExc_OverflowError);
            if (other_index == -1 && PyErr_Occurred()) {
                discard_pending_exception();
                return borrow(Py_NotImplemented);
            }
        }
        switch (op) {
            case Py_EQ:
                return new_bool(other_index == index);
            case Py_NE:
                return new_bool(other_index != index);
            default:
                return borrow(Py_NotImplemented);
        }
    });
}

template <Enumeration& E>
PyType_Slot enumeration_slots[] = {
    {Py_tp_new, slot(no_constructor)},
    {Py_tp_dealloc, slot(object_dealloc<Index>)},
    {Py_tp_repr, slot(enumeration_repr<E>)},
    {Py_tp_richcompare, slot(enumeration_richcompare<E>)},
    {Py_tp_hash, slot(PyObject_HashNotImplemented)},
    {Py_nb_int, slot(enumeration_int<E>)},
    {0, nullptr},
};

constexpr PyType_Spec enumeration_spec(const char* name, PyType_Slot* slots) {
    return {
        .name = name,
        .basicsize = sizeof(Object<Index>),
        .itemsize = 0,
        .flags = Py_TPFLAGS_DEFAULT,
        .slots = slots,
    };
}

Enumeration server_status{
    "ServerStatus",
    {"NotInit", "Idle", "Busy", "Error"},
    enumeration_spec("builtins.ServerStatus", enumeration_slots<server_status>),
    &ModuleState::server_status};
Enumeration protocol{"Protocol",
                     {"WebSocket", "Bluetooth", "Http", "Usb"},
                     enumeration_spec("builtins.Protocol", enumeration_slots<protocol>),
                     &ModuleState::protocol};

// The members are made here, once, with the class: every ServerStatus.Idle is the same object.
template <Enumeration& E>
ClassResult enumeration_class() {
    return (module_state().*E.cell).get_or_create([]() -> Result<Ref, OperationError> {
        VELTO_TRY(Ref made, create_class(E.type_spec));
        auto* type = reinterpret_cast<PyTypeObject*>(made.get());
        for (std::size_t index = 0; index < E.members.size(); ++index) {
            VELTO_TRY(Ref member, new_object(type, static_cast<Index>(index)));
            VELTO_CHECK(set_class_attribute(type, E.members[index], std::move(member)));
        }
        return made;
    });
}

}  // namespace

ClassResult server_status_class() {
    return enumeration_class<server_status>();
}

ClassResult protocol_class() {
    return enumeration_class<protocol>();
}

Result<wire::ServerStatus, OperationError> to_server_status(Handle object) {
    VELTO_TRY(Object<Index> * status,
              to_object<Index>(object, server_status_class(), server_status.class_name));
    VELTO_TRY(SharedBorrow shared, SharedBorrow::take(status->borrow_state));
    return static_cast<wire::ServerStatus>(status->value);
}

namespace {

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
    return module_state().confirm_result.get_or_create(
        [] { return create_class(confirm_result_spec); });
}

ClassResult error_result_class() {
    return module_state().error_result.get_or_create(
        [] { return create_class(error_result_spec); });
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
