// WidgetRegistry, its six kind classes and Coord: construction from Python arguments, the
// read-only attributes, and the conversion of a decoded widget value for the dispatcher.
#include "python/widget_classes.hpp"

#include <array>
#include <cassert>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "python/arguments.hpp"
#include "python/classes.hpp"
#include "python/conversions.hpp"
#include "python/faults.hpp"

namespace velto::python {

namespace {

// "WidgetRegistry_<kind name>", the name of a kind class, made when the module is compiled.
template <class Widget>
struct KindClassName {
    static constexpr std::string_view prefix = "WidgetRegistry_";
    static constexpr auto text = [] {
        std::array<char, prefix.size() + wire::WidgetKind<Widget>::name.size()> name{};
        std::size_t at = 0;
        for (char c : prefix) name[at++] = c;
        for (char c : wire::WidgetKind<Widget>::name) name[at++] = c;
        return name;
    }();
    static constexpr std::string_view value{text.data(), text.size()};
};

template <class Widget>
ClassResult kind_class() {
    return widget_kind_class(wire::widget_kind_index<Widget>());
}

// ---- Coord -------------------------------------------------------------------------------

PyObject* coord_x(PyObject* self, void*) {
    return read_attribute<wire::Coord>(self, coord_class, "Coord", [](const wire::Coord& coord) {
        return new_float(static_cast<double>(coord.x));
    });
}

PyObject* coord_y(PyObject* self, void*) {
    return read_attribute<wire::Coord>(self, coord_class, "Coord", [](const wire::Coord& coord) {
        return new_float(static_cast<double>(coord.y));
    });
}

PyGetSetDef coord_getset[] = {
    {"x", coord_x, nullptr, nullptr, nullptr},
    {"y", coord_y, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot coord_slots[] = {
    {Py_tp_new, slot(no_constructor)},
    {Py_tp_dealloc, slot(object_dealloc<wire::Coord>)},
    {Py_tp_getset, coord_getset},
    {0, nullptr},
};

PyType_Spec coord_spec = {
    .name = "builtins.Coord",
    .basicsize = sizeof(Object<wire::Coord>),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = coord_slots,
};

// ---- WidgetRegistry ----------------------------------------------------------------------

PyType_Slot base_slots[] = {
    {Py_tp_new, slot(no_constructor)},
    {Py_tp_dealloc, slot(object_dealloc<wire::WidgetRegistry>)},
    {0, nullptr},
};

PyType_Spec base_spec = {
    .name = "builtins.WidgetRegistry",
    .basicsize = sizeof(Object<wire::WidgetRegistry>),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .slots = base_slots,
};

// ---- kind constructors -------------------------------------------------------------------

// Binds and converts the call's arguments with `make(bound)` and stores the resulting value in
// a new instance of the class being called.
template <std::size_t N, class Make>
PyObject* construct_kind(PyTypeObject* type, PyObject* args, PyObject* kwargs,
                         const Signature<N>& signature, Make&& make) {
    return object_entry([&]() -> ObjectResult {
        VELTO_TRY(auto bound, bind(signature, CallArguments::tuple_and_dict(args, kwargs)));
        VELTO_TRY(wire::WidgetRegistry value, make(bound));
        return new_object(type, std::move(value));
    });
}

using Converted = Result<wire::WidgetRegistry, OperationError>;

PyObject* click_button_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr Signature<0> signature{"WidgetRegistry_ClickButton.__new__()", {}};
    return construct_kind(type, args, kwargs, signature, [](const std::array<Handle, 0>&) {
        return Converted(wire::WidgetRegistry(wire::ClickButton{}));
    });
}

PyObject* toggle_button_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr Signature<1> signature{"WidgetRegistry_ToggleButton.__new__()", {"value"}};
    return construct_kind(type, args, kwargs, signature,
                          [](const std::array<Handle, 1>& bound) -> Converted {
                              VELTO_TRY(bool value, argument("value", to_bool(bound[0])));
                              return wire::WidgetRegistry(wire::ToggleButton{value});
                          });
}

PyObject* confirm_button_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr Signature<0> signature{"WidgetRegistry_ConfirmButton.__new__()", {}};
    return construct_kind(type, args, kwargs, signature, [](const std::array<Handle, 0>&) {
        return Converted(wire::WidgetRegistry(wire::ConfirmButton{}));
    });
}

PyObject* press_button_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr Signature<1> signature{"WidgetRegistry_PressButton.__new__()", {"pressed"}};
    return construct_kind(type, args, kwargs, signature,
                          [](const std::array<Handle, 1>& bound) -> Converted {
                              VELTO_TRY(bool pressed, argument("pressed", to_bool(bound[0])));
                              return wire::WidgetRegistry(wire::PressButton{pressed});
                          });
}

PyObject* directional_button_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr Signature<1> signature{"WidgetRegistry_DirectionalButton.__new__()",
                                            {"direction"}};
    return construct_kind(
        type, args, kwargs, signature, [](const std::array<Handle, 1>& bound) -> Converted {
            VELTO_TRY(std::uint8_t direction, argument("direction", to_u8(bound[0])));
            return wire::WidgetRegistry(wire::DirectionalButton{direction});
        });
}

PyObject* joystick_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr Signature<2> signature{"WidgetRegistry_Joystick.__new__()",
                                            {"delta", "intensity"}};
    return construct_kind(
        type, args, kwargs, signature, [](const std::array<Handle, 2>& bound) -> Converted {
            VELTO_TRY(Object<wire::Coord> * delta,
                      argument("delta", to_object<wire::Coord>(bound[0], coord_class(), "Coord")));
            wire::Coord copied;
            {
                VELTO_TRY(SharedBorrow shared, SharedBorrow::take(delta->borrow_state));
                copied = delta->value;
            }
            VELTO_TRY(float intensity, argument("intensity", to_f32(bound[1])));
            return wire::WidgetRegistry(wire::Joystick{copied, intensity});
        });
}

// ---- kind attributes ---------------------------------------------------------------------

template <class Widget, class Read>
PyObject* read_kind(PyObject* self, Read&& read) {
    return read_attribute<wire::WidgetRegistry>(
        self, kind_class<Widget>, KindClassName<Widget>::value,
        [&](const wire::WidgetRegistry& widget) { return read(std::get<Widget>(widget)); });
}

PyObject* toggle_button_value(PyObject* self, void*) {
    return read_kind<wire::ToggleButton>(self, [](const wire::ToggleButton& w) { return new_bool(w.value); });
}

PyObject* press_button_pressed(PyObject* self, void*) {
    return read_kind<wire::PressButton>(self, [](const wire::PressButton& w) { return new_bool(w.pressed); });
}

PyObject* directional_button_direction(PyObject* self, void*) {
    return read_kind<wire::DirectionalButton>(self, [](const wire::DirectionalButton& w) { return new_int(w.direction); });
}

PyObject* joystick_delta(PyObject* self, void*) {
    return read_kind<wire::Joystick>(self, [](const wire::Joystick& w) -> ObjectResult {
        VELTO_TRY(PyTypeObject * type, coord_class());
        return new_object(type, wire::Coord(w.delta));
    });
}

PyObject* joystick_intensity(PyObject* self, void*) {
    return read_kind<wire::Joystick>(
        self, [](const wire::Joystick& w) { return new_float(static_cast<double>(w.intensity)); });
}

PyGetSetDef toggle_button_getset[] = {
    {"value", toggle_button_value, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyGetSetDef press_button_getset[] = {
    {"pressed", press_button_pressed, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyGetSetDef directional_button_getset[] = {
    {"direction", directional_button_direction, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyGetSetDef joystick_getset[] = {
    {"delta", joystick_delta, nullptr, nullptr, nullptr},
    {"intensity", joystick_intensity, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- kind classes ------------------------------------------------------------------------

// Each class docstring is exactly its text signature: "<Name>(params)\n--\n\n".
// Each has the base's deallocator itself: the one a subclass inherits looks for what to clear
// (instance dict, weak references, finalizer), of which these classes have nothing, once for
// every object a frame brings.
PyType_Slot click_button_slots[] = {
    {Py_tp_new, slot(click_button_new)},
    {Py_tp_dealloc, slot(object_dealloc<wire::WidgetRegistry>)},
    {Py_tp_doc, const_cast<char*>("WidgetRegistry_ClickButton()\n--\n\n")},
    {0, nullptr},
};
PyType_Slot toggle_button_slots[] = {
    {Py_tp_new, slot(toggle_button_new)},
    {Py_tp_dealloc, slot(object_dealloc<wire::WidgetRegistry>)},
    {Py_tp_getset, toggle_button_getset},
    {Py_tp_doc, const_cast<char*>("WidgetRegistry_ToggleButton(value)\n--\n\n")},
    {0, nullptr},
};
PyType_Slot confirm_button_slots[] = {
    {Py_tp_new, slot(confirm_button_new)},
    {Py_tp_dealloc, slot(object_dealloc<wire::WidgetRegistry>)},
    {Py_tp_doc, const_cast<char*>("WidgetRegistry_ConfirmButton()\n--\n\n")},
    {0, nullptr},
};
PyType_Slot press_button_slots[] = {
    {Py_tp_new, slot(press_button_new)},
    {Py_tp_dealloc, slot(object_dealloc<wire::WidgetRegistry>)},
    {Py_tp_getset, press_button_getset},
    {Py_tp_doc, const_cast<char*>("WidgetRegistry_PressButton(pressed)\n--\n\n")},
    {0, nullptr},
};
PyType_Slot directional_button_slots[] = {
    {Py_tp_new, slot(directional_button_new)},
    {Py_tp_dealloc, slot(object_dealloc<wire::WidgetRegistry>)},
    {Py_tp_getset, directional_button_getset},
    {Py_tp_doc, const_cast<char*>("WidgetRegistry_DirectionalButton(direction)\n--\n\n")},
    {0, nullptr},
};
PyType_Slot joystick_slots[] = {
    {Py_tp_new, slot(joystick_new)},
    {Py_tp_dealloc, slot(object_dealloc<wire::WidgetRegistry>)},
    {Py_tp_getset, joystick_getset},
    {Py_tp_doc, const_cast<char*>("WidgetRegistry_Joystick(delta, intensity)\n--\n\n")},
    {0, nullptr},
};

// The kind classes add no storage: the value is declared once, in WidgetRegistry's layout.
constexpr PyType_Spec kind_spec(const char* name, PyType_Slot* slots) {
    return {
        .name = name,
        .basicsize = sizeof(Object<wire::WidgetRegistry>),
        .itemsize = 0,
        .flags = Py_TPFLAGS_DEFAULT,
        .slots = slots,
    };
}

PyType_Spec kind_specs[wire::widget_kind_count] = {
    kind_spec("builtins.WidgetRegistry_ClickButton", click_button_slots),
    kind_spec("builtins.WidgetRegistry_ToggleButton", toggle_button_slots),
    kind_spec("builtins.WidgetRegistry_ConfirmButton", confirm_button_slots),
    kind_spec("builtins.WidgetRegistry_PressButton", press_button_slots),
    kind_spec("builtins.WidgetRegistry_DirectionalButton", directional_button_slots),
    kind_spec("builtins.WidgetRegistry_Joystick", joystick_slots),
};

// __match_args__ of each kind class, by variant index: the kind's fields.
constexpr std::array<std::span<const std::string_view>, wire::widget_kind_count> kind_match_args =
    []<std::size_t... Index>(std::index_sequence<Index...>) {
        return std::array<std::span<const std::string_view>, wire::widget_kind_count>{
            std::span<const std::string_view>(wire::WidgetKindAt<Index>::fields)...};
    }(std::make_index_sequence<wire::widget_kind_count>());

ClassResult base_class() {
    return module_state().widget_registry.get_or_create([] { return create_class(base_spec); });
}

}  // namespace

ClassResult coord_class() {
    return module_state().coord.get_or_create([] { return create_class(coord_spec); });
}

ClassResult widget_kind_class(std::size_t kind) {
    VELTO_TRY(PyTypeObject * base, base_class());
    return module_state().widget_kinds.at(kind).get_or_create([&]() -> Result<Ref, OperationError> {
        VELTO_TRY(Ref type, create_class(kind_specs[kind], base));
        VELTO_CHECK(
            set_match_args(reinterpret_cast<PyTypeObject*>(type.get()), kind_match_args[kind]));
        return type;
    });
}

ClassResult widget_registry_class() {
    VELTO_TRY(PyTypeObject * base, base_class());
    if (module_state().widget_registry_complete) return base;
    for (std::size_t kind = 0; kind < module_state().widget_kinds.size(); ++kind) {
        VELTO_TRY(PyTypeObject * type, widget_kind_class(kind));
        // The attribute is the kind name: WidgetRegistry.Joystick is WidgetRegistry_Joystick.
        std::string attribute(wire::widget_kind_names[kind]);
        VELTO_CHECK(set_class_attribute(base, attribute.c_str(),
                                        borrow(reinterpret_cast<PyObject*>(type))));
    }
    module_state().widget_registry_complete = true;
    return base;
}

Result<WidgetKindClasses, OperationError> widget_kind_classes() {
    WidgetKindClasses classes{};
    for (std::size_t kind = 0; kind < classes.size(); ++kind) {
        VELTO_TRY(classes[kind], widget_kind_class(kind));
    }
    return classes;
}

// One object per dispatched frame, so it is made directly: the kind classes are neither
// collected by the cycle collector nor variable-sized (their type descriptions say so, and their deallocator
// frees with PyObject_Free), which is all the generic allocation would look for.
Result<Ref, OperationError> widget_to_object(const WidgetKindClasses& classes,
                                             const wire::WidgetRegistry& value) {
    using Stored = Object<wire::WidgetRegistry>;
    static_assert(std::is_nothrow_copy_constructible_v<wire::WidgetRegistry>);
    PyTypeObject* const type = classes[value.index()];
    assert(!PyType_IS_GC(type) && type->tp_itemsize == 0 &&
           type->tp_basicsize == static_cast<Py_ssize_t>(sizeof(Stored)));
    auto* instance = static_cast<Stored*>(PyObject_Malloc(sizeof(Stored)));
    if (instance == nullptr) {
        PyErr_NoMemory();
        return fail(pending_error());
    }
    // Sets the class, takes the reference to it that the deallocator drops, and counts one.
    PyObject_Init(&instance->ob_base, type);
    instance->borrow_state = 0;
    std::construct_at(&instance->value, value);
    return steal(&instance->ob_base);
}

}  // namespace velto::python
