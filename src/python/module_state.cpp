// The module state's one instance.
#include "python/module_state.hpp"

namespace velto::python {

ModuleState& module_state() noexcept {
    static ModuleState* state = new ModuleState;
    return *state;
}

}  // namespace velto::python
