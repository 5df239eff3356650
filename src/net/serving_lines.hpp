// Every console line the serving thread writes, collected into its console buffer: the trace of
// a receive, of one frame's dispatch and of the thread's end. Changing a text happens here only.
#pragma once

#include <cstddef>

#include "net/console.hpp"
#include "wire/frame.hpp"

namespace velto::net::serving_lines {

// "Received size : <count>".
void received(ConsoleBuffer& console, std::size_t count) noexcept;

// "No key <key> found", the key being the frame's (Frame::action_key), built from the frame
// itself: no key text is made for it.
void no_action(ConsoleBuffer& console, const wire::Frame& frame) noexcept;

// "Found frame ! <id>": an action was found but no program code may run any more.
void found(ConsoleBuffer& console, const wire::Frame& frame) noexcept;

// "Found frame ! <id>" then "running action": what comes before an action is run.
void before_action(ConsoleBuffer& console, const wire::Frame& frame) noexcept;

// "after function": the action returned.
void after_action(ConsoleBuffer& console) noexcept;

// "done": the frame's dispatch is over.
void done(ConsoleBuffer& console) noexcept;

// "Link broken": the stop sender disappeared (the server object is gone).
void link_broken(ConsoleBuffer& console) noexcept;

// "Terminating.": the thread stops serving.
void terminating(ConsoleBuffer& console) noexcept;

}  // namespace velto::net::serving_lines
