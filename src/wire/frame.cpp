// The action key of a decoded frame.
#include <string>

#include "wire/action_key.hpp"
#include "wire/frame.hpp"

namespace velto::wire {

std::string Frame::identity() const {
    return action_identity(id, name(data));
}

}  // namespace velto::wire
