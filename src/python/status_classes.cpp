// ServerStatus and Protocol: members, representation, int(), and equality with members and
// integers (ordering answered with NotImplemented, no hash).
#include "python/status_classes.hpp"

#include <array>
#include <cstdint>
#include <string>

#include "python/attributes.hpp"
#include "python/errors.hpp"

namespace velto::python {

namespace {

using Index = std::uint8_t;

struct Enumeration {
    std::string_view class_name;
    std::array<const char*, 4> members;  // in declared order: the index is the position
    PyType_Spec type_spec;
    ClassCell cell;
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
    {}};
Enumeration protocol{"Protocol",
                     {"WebSocket", "Bluetooth", "Http", "Usb"},
                     enumeration_spec("builtins.Protocol", enumeration_slots<protocol>),
                     {}};

// The members are made here, once, with the class: every ServerStatus.Idle is the same object.
template <Enumeration& E>
ClassResult enumeration_class() {
    return E.cell.get_or_create([]() -> Result<Ref, OperationError> {
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

}  // namespace velto::python
