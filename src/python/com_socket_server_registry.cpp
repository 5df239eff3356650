// The action registry seen from Python: registering an action under its key, and looking one up.
#include "python/arguments.hpp"
#include "python/boundary.hpp"
#include "python/com_socket_server.hpp"
#include "python/conversions.hpp"
#include "python/debug_log.hpp"
#include "python/text.hpp"
#include "python/try.hpp"
#include "wire/action_key.hpp"

namespace velto::python {

PyObject* com_socket_server_on(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                               PyObject* kwnames) {
    static constexpr Signature<3> signature{"ComSocketServer.on()", {"id", "widget", "action"}};
    return object_entry([&]() -> ObjectResult {
        VELTO_TRY(auto bound, bind(signature, CallArguments::vectorcall(args, nargsf, kwnames)));
        VELTO_TRY(ExclusiveServer server, exclusive_server(self));
        VELTO_TRY(std::uint8_t id, argument("id", to_u8(bound[0])));
        VELTO_TRY(std::string widget, argument("widget", to_text(bound[1])));
        VELTO_CHECK(debug_record(concat({"register action: ", widget})));
        // Replacing an action releases the earlier one (see Ref's move assignment).
        server.state.actions.insert_or_assign(wire::action_identity(id, widget), borrow(bound[2]));
        return borrow(Py_None);
    });
}

PyObject* com_socket_server_get_action(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                       PyObject* kwnames) {
    static constexpr Signature<1> signature{"ComSocketServer._get_action()", {"key"}};
    return object_entry([&]() -> ObjectResult {
        VELTO_TRY(auto bound, bind(signature, CallArguments::vectorcall(args, nargsf, kwnames)));
        VELTO_TRY(ExclusiveServer server, exclusive_server(self));
        VELTO_TRY(std::string key, argument("key", to_text(bound[0])));
        const ActionRegistry& actions = server.state.actions;
        if (actions.empty()) return borrow(Py_None);
        auto found = actions.find(key);
        if (found == actions.end()) return borrow(Py_None);
        return found->second.clone();
    });
}

}  // namespace velto::python
