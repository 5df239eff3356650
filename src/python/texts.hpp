// Texts made from Python objects for the module's messages: type names, str() that may fail,
// and one-allocation concatenation. Nothing here fails: a text that cannot be had has a stand-in.
#pragma once

#include "python/python.hpp"

#include <initializer_list>
#include <string>
#include <string_view>

namespace velto::python {

// The __qualname__ of a class ("int", "Outer.Inner"), or "<failed to extract type name>".
std::string qualname_of(PyObject* type);

// The qualified name of an object's type, as qualname_of.
std::string type_qualname(PyObject* object);

// str(object) as UTF-8 into `out`; false when it fails (the failure is discarded).
bool try_str(PyObject* object, std::string& out);

// str() of an exception value as its messages show it: "<exception str() failed>" when it fails.
std::string exception_text(PyObject* value);

// Builds a message text from pieces in one allocation.
inline std::string concat(std::initializer_list<std::string_view> pieces) {
    std::size_t size = 0;
    for (std::string_view piece : pieces) size += piece.size();
    std::string text;
    text.reserve(size);
    for (std::string_view piece : pieces) text.append(piece);
    return text;
}

}  // namespace velto::python
