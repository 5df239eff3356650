// The module function on(server): a decorator factory that registers functions named after a
// widget kind and id (ClickButton_3) as actions of the server, at decoration time.
#pragma once

#include "python/python.hpp"

namespace velto::python {

// The definition of the module function `on`; the module binds it to itself.
PyMethodDef* on_function_definition();

// The one name carried by every decorator object and every wrapper object.
inline constexpr const char* decorator_generic_name = "velto_action_decorator";

}  // namespace velto::python
