// The console lines of one frame's dispatch, written into the serving thread's console buffer
// straight from the frame: no key text is built for them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

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

namespace detail {

// The two lines that come before every action, for each of the 256 ids, made when the module is
// compiled: one copy per dispatched frame instead of four pieces and a number conversion.
struct FoundLines {
    static constexpr std::string_view head = "Found frame ! ";
    static constexpr std::string_view tail = "\nrunning action\n";
    std::array<char, head.size() + 3 + tail.size()> text{};
    std::size_t size = 0;

    constexpr std::string_view view() const noexcept { return {text.data(), size}; }
};

inline constexpr std::array<FoundLines, 256> found_lines = [] {
    std::array<FoundLines, 256> table{};
    for (std::size_t id = 0; id < table.size(); ++id) {
        FoundLines& lines = table[id];
        for (char c : FoundLines::head) lines.text[lines.size++] = c;
        if (id >= 100) lines.text[lines.size++] = static_cast<char>('0' + id / 100);
        if (id >= 10) lines.text[lines.size++] = static_cast<char>('0' + id / 10 % 10);
        lines.text[lines.size++] = static_cast<char>('0' + id % 10);
        for (char c : FoundLines::tail) lines.text[lines.size++] = c;
    }
    return table;
}();

}  // namespace detail

// "Found frame ! <id>" then "running action": what comes before an action is run.
inline void lines_before_action(ConsoleBuffer& console, const wire::Frame& frame) noexcept {
    console.append(detail::found_lines[frame.id].view());
}

}  // namespace velto::net
