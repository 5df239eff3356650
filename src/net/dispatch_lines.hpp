// The console lines of one frame's dispatch, written into the serving thread's console buffer
// straight from the frame: no key text is built for them.
#pragma once

#include "net/console.hpp"
#include "wire/frame.hpp"
#include "wire/values.hpp"

namespace velto::net {

// "No key <key> found", the key being the frame's (Frame::action_key).
inline void line_no_action(ConsoleBuffer& console, const wire::Frame& frame) noexcept {
    console.append("No key ").append(wire::name(frame.data)).append("_");
    console.append_decimal(frame.id).append(" found\n");
}

// "Found frame ! <id>".
inline void line_found(ConsoleBuffer& console, const wire::Frame& frame) noexcept {
    console.append("Found frame ! ").append_decimal(frame.id).append("\n");
}

}  // namespace velto::net
