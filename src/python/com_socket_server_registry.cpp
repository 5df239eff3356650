// The action registry seen from Python: registering an action under its key, and looking one up.
#include "python/python.hpp"

#include <cstdint>
#include <string>
#include <utility>

#include "python/com_socket_server.hpp"
#include "python/conversions.hpp"
#include "python/debug_log.hpp"
#include "python/errors.hpp"
#include "wire/action_key.hpp"

namespace velto::python {

PyObject* com_socket_server_on(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                               PyObject* kwnames) {
    static constexpr Signature<3> signature{"ComSocketServer.on()", {"id", "widget", "action"}};
    return server_method(
        self, args, nargsf, kwnames, signature,
        [](ComSocketServerObject& server, const std::array<Handle, 3>& bound) -> ObjectResult {
            VELTO_TRY(std::uint8_t id, argument("id", to_u8(bound[0])));
            VELTO_TRY(std::string widget, argument("widget", to_text(bound[1])));
            VELTO_CHECK(debug_record(concat({"register action: ", widget})));
            std::string key = wire::action_identity(id, widget);
            Ref action = borrow(bound[2]);
            {
                VELTO_TRY(ExclusiveServer exclusive, exclusive_server(server));
                // The new action goes in and the one it replaces (if any) comes out into
                // `action`, with no Python code run in between.
                Ref& stored = exclusive.state.actions[std::move(key)];
                std::swap(stored, action);
            }
            release_now(action);
            return borrow(Py_None);
        });
}

PyObject* com_socket_server_get_action(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                       PyObject* kwnames) {
    static constexpr Signature<1> signature{"ComSocketServer._get_action()", {"key"}};
    return server_method(
        self, args, nargsf, kwnames, signature,
        [](ComSocketServerObject& server, const std::array<Handle, 1>& bound) -> ObjectResult {
            VELTO_TRY(std::string key, argument("key", to_text(bound[0])));
            VELTO_TRY(ExclusiveServer exclusive, exclusive_server(server));
            const ActionRegistry& actions = exclusive.state.actions;
            if (actions.empty()) return borrow(Py_None);
            auto found = actions.find(key);
            if (found == actions.end()) return borrow(Py_None);
            return found->second.clone();
        });
}

}  // namespace velto::python
