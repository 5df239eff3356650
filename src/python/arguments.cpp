// Argument binding and its TypeError texts.
#include "python/arguments.hpp"

#include <string>
#include <vector>

#include "python/errors.hpp"

namespace velto::python {

namespace {

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string quoted_list(const std::vector<std::string_view>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) {
                text += " and ";
            } else {
                text += i + 1 == names.size() ? ", and " : ", ";
            }
        }
        text += '\'';
        text += names[i];
        text += '\'';
    }
    return text;
}

// Calls `visit(name, value)` for every keyword argument, in the order given; stops at the first
// failure.
template <class Visit>
Status<OperationError> for_each_keyword(const CallArguments& arguments, Visit&& visit) {
    auto name_text = [](PyObject* name) -> Result<std::string_view, OperationError> {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
        if (utf8 == nullptr) {
            if (PyErr_Occurred()) PyErr_Clear();
            return fail(type_error("keywords must be strings"));
        }
        return std::string_view(utf8, static_cast<std::size_t>(size));
    };
    if (arguments.keyword_names != nullptr) {
        Py_ssize_t count = PyTuple_GET_SIZE(arguments.keyword_names);
        for (Py_ssize_t i = 0; i < count; ++i) {
            auto name = name_text(PyTuple_GET_ITEM(arguments.keyword_names, i));
            if (!name.ok()) return fail(std::move(name).error());
            auto status = visit(name.value(), arguments.positional[arguments.positional_count + i]);
            if (!status.ok()) return status;
        }
    } else if (arguments.keyword_dict != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(arguments.keyword_dict, &position, &key, &value)) {
            auto name = name_text(key);
            if (!name.ok()) return fail(std::move(name).error());
            auto status = visit(name.value(), value);
            if (!status.ok()) return status;
        }
    }
    return ok_unit;
}

}  // namespace

Status<OperationError> bind_arguments(std::string_view display_name,
                                      std::span<const std::string_view> parameters,
                                      std::size_t required, const CallArguments& arguments,
                                      std::span<Handle> bound) {
    const auto given = static_cast<std::size_t>(arguments.positional_count);
    if (given > parameters.size()) {
        return fail(type_error(concat({display_name, " takes ", std::to_string(parameters.size()),
                                       " positional arguments but ", std::to_string(given),
                                       given == 1 ? " was" : " were", " given"})));
    }
    for (std::size_t i = 0; i < given; ++i) bound[i] = Handle(arguments.positional[i]);

    auto status = for_each_keyword(
        arguments, [&](std::string_view name, PyObject* value) -> Status<OperationError> {
            for (std::size_t i = 0; i < parameters.size(); ++i) {
                if (parameters[i] != name) continue;
                if (bound[i]) {
                    return fail(type_error(
                        concat({display_name, " got multiple values for argument '", name, "'"})));
                }
                bound[i] = Handle(value);
                return ok_unit;
            }
            return fail(type_error(
                concat({display_name, " got an unexpected keyword argument '", name, "'"})));
        });
    if (!status.ok()) return status;

    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        if (bound[i]) continue;
        if (i < required) {
            missing.push_back(parameters[i]);
        } else {
            bound[i] = Handle(Py_None);
        }
    }
    if (!missing.empty()) {
        return fail(type_error(concat(
            {display_name, " missing ", std::to_string(missing.size()), " required positional ",
             missing.size() == 1 ? "argument" : "arguments", ": ", quoted_list(missing)})));
    }
    return ok_unit;
}

}  // namespace velto::python
