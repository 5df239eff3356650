// The warnings of on() about registrations that no frame will reach as the program expects.
#include "python/registration_checks.hpp"

#include <string>

#include "python/texts.hpp"
#include "wire/action_key.hpp"
#include "wire/action_table.hpp"
#include "wire/values.hpp"

namespace velto::python {

namespace {

Status<OperationError> warn(const std::string& text) {
    // Level 1: the warning points at the Python line that made the registration.
    if (PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 1) != 0) return fail(pending_error());
    return ok_unit;
}

std::string kind_hint(std::string_view widget) {
    if (auto closest = wire::closest_widget_kind(widget)) {
        return concat({"did you mean '", *closest, "'?"});
    }
    std::string text = "the widget kinds are ";
    const auto& names = wire::widget_kind_names;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += i + 1 == names.size() ? " and " : ", ";
        text += names[i];
    }
    return text;
}

}  // namespace

Status<OperationError> warn_about_registration(std::string_view key, PyObject* action,
                                               bool serving) {
    if (!wire::action_slot(key)) {
        // The key is the widget text's first word, "_" and the id: the word is what frames
        // would have to name.
        const std::string_view widget = key.substr(0, key.rfind('_'));
        VELTO_CHECK(warn(concat({"'", widget, "' is not a widget kind, so no frame ever reaches ",
                                 "the action registered as ", key, "; ", kind_hint(widget)})));
    }
    if (PyCallable_Check(action) == 0) {
        VELTO_CHECK(warn(concat({"the action registered as ", key, " is not callable ('",
                                 type_qualname(action),
                                 "' object): the first frame for it would end serving"})));
    }
    if (serving) {
        VELTO_CHECK(warn(concat({"the server is serving: its running thread does not see the ",
                                 "action registered as ", key, " until the next serve()"})));
    }
    return ok_unit;
}

}  // namespace velto::python
