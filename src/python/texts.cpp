// Texts from Python objects, with their stand-ins when the interpreter cannot give them.
#include "python/texts.hpp"

#include "python/ref.hpp"

namespace velto::python {

namespace {

// The UTF-8 text of a str object; false (the failure discarded) when it has none.
bool utf8_of(PyObject* text, std::string& out) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return false;
    }
    out.assign(utf8, static_cast<std::size_t>(size));
    return true;
}

}  // namespace

std::string qualname_of(PyObject* type) {
    Ref name = steal(PyObject_GetAttrString(type, "__qualname__"));
    std::string text;
    if (name && PyUnicode_Check(name.get()) && utf8_of(name.get(), text)) return text;
    PyErr_Clear();
    return "<failed to extract type name>";
}

std::string type_qualname(PyObject* object) {
    return qualname_of(reinterpret_cast<PyObject*>(Py_TYPE(object)));
}

bool try_str(PyObject* object, std::string& out) {
    Ref text = steal(PyObject_Str(object));
    if (!text) {
        PyErr_Clear();
        return false;
    }
    return utf8_of(text.get(), out);
}

std::string exception_text(PyObject* value) {
    std::string text;
    if (!try_str(value, text)) text = "<exception str() failed>";
    return text;
}

}  // namespace velto::python
