// The widget value classes: WidgetRegistry, its six kind classes (WidgetRegistry_ClickButton ...
// reached as WidgetRegistry.ClickButton ...) and Coord, and the conversion of a decoded widget
// value into a new object of its kind class for the dispatcher.
#pragma once

#include "python/python.hpp"

#include <array>
#include <cstddef>

#include "python/classes.hpp"
#include "wire/values.hpp"

namespace velto::python {

// WidgetRegistry, with its six kind classes made and set as its class attributes.
ClassResult widget_registry_class();

// The kind class for a variant index of wire::WidgetRegistry (0 ClickButton ... 5 Joystick).
ClassResult widget_kind_class(std::size_t kind);

// Coord, made on first need.
ClassResult coord_class();

// The six kind classes by variant index, looked up once (by a serving thread's dispatcher, when
// it is made) so that the object of each frame is made without a lookup.
using WidgetKindClasses = std::array<PyTypeObject*, wire::widget_kind_count>;
Result<WidgetKindClasses, OperationError> widget_kind_classes();

// A new object of the value's kind class holding a copy of the value. Needs the interpreter
// lock. Fails (with the interpreter's MemoryError, say) only when the object cannot be made.
Result<Ref, OperationError> widget_to_object(const WidgetKindClasses& classes,
                                             const wire::WidgetRegistry& value);

}  // namespace velto::python
