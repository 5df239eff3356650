// The serving thread's console texts, and the lines before an action made at compile time.
#include "net/serving_lines.hpp"

#include <array>
#include <cstdint>
#include <string_view>

#include "wire/values.hpp"

namespace velto::net::serving_lines {

namespace {

// The two lines that come before every action, for each of the 256 ids, made when the module is
// compiled: one copy per dispatched frame instead of four pieces and a number conversion.
struct FoundLines {
    static constexpr std::string_view head = "Found frame ! ";
    static constexpr std::string_view tail = "\nrunning action\n";
    std::array<char, head.size() + 3 + tail.size()> text{};
    std::size_t size = 0;

    constexpr std::string_view view() const noexcept { return {text.data(), size}; }
};

constexpr std::array<FoundLines, 256> found_lines = [] {
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

}  // namespace

void received(ConsoleBuffer& console, std::size_t count) noexcept {
    console.append("Received size : ").append_decimal(count).append("\n");
}

void no_action(ConsoleBuffer& console, const wire::Frame& frame) noexcept {
    console.append("No key ").append(wire::name(frame.data)).append("_");
    console.append_decimal(frame.id).append(" found\n");
}

void found(ConsoleBuffer& console, const wire::Frame& frame) noexcept {
    console.append(FoundLines::head).append_decimal(frame.id).append("\n");
}

void before_action(ConsoleBuffer& console, const wire::Frame& frame) noexcept {
    console.append(found_lines[frame.id].view());
}

void after_action(ConsoleBuffer& console) noexcept {
    console.line("after function");
}

void done(ConsoleBuffer& console) noexcept {
    console.line("done");
}

void link_broken(ConsoleBuffer& console) noexcept {
    console.line("Link broken");
}

void terminating(ConsoleBuffer& console) noexcept {
    console.line("Terminating.");
}

}  // namespace velto::net::serving_lines
