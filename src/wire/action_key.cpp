// Action keys: building them from a widget text and an id, and taking a function name apart.
#include "wire/action_key.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

#include "common/decimal.hpp"
#include "wire/utf8.hpp"
#include "wire/values.hpp"

namespace velto::wire {

namespace {

bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0d) || c == 0x20 || c == 0x85 || c == 0xa0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200a) || c == 0x2028 || c == 0x2029 || c == 0x202f ||
           c == 0x205f || c == 0x3000;
}

// Decodes the code point starting at `text[at]` and returns its byte length. Widget texts come
// from Python str values and are valid UTF-8; a malformed byte is taken as one non-blank unit
// so that the split never reads past the end.
std::size_t next_code_point(std::string_view text, std::size_t at, char32_t& out) {
    std::size_t bad = 0;
    const std::size_t length = detail::utf8_sequence_length(text, at, bad);
    if (length == 0) {
        out = 0xfffd;
        return 1;
    }
    const auto lead = static_cast<unsigned char>(text[at]);
    char32_t value = length == 1 ? lead : lead & (0xff >> (length + 1));
    for (std::size_t i = 1; i < length; ++i) {
        value = (value << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3f);
    }
    out = value;
    return length;
}

std::string_view first_word(std::string_view text) {
    std::size_t start = std::string_view::npos;
    for (std::size_t at = 0; at < text.size();) {
        char32_t c = 0;
        const std::size_t length = next_code_point(text, at, c);
        if (is_white_space(c)) {
            if (start != std::string_view::npos) return text.substr(start, at - start);
        } else if (start == std::string_view::npos) {
            start = at;
        }
        at += length;
    }
    return start == std::string_view::npos ? std::string_view{} : text.substr(start);
}

// The id of a function name: decimal, with an optional "+" before it.
std::optional<std::uint8_t> parse_widget_id(std::string_view piece) {
    if (!piece.empty() && piece.front() == '+') piece.remove_prefix(1);
    return parse_decimal<std::uint8_t>(piece);
}

char folded(char c) noexcept {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Texts longer than this are not compared: no kind name is anywhere near, and the comparison
// would cost their length times the name's.
constexpr std::size_t longest_compared = 64;

// Edits (insert, delete, replace one character) from `text` to `name`, letters folded to lower
// case; `name` is a kind name, so one row of its length fits on the stack.
std::size_t folded_edit_distance(std::string_view text, std::string_view name) noexcept {
    std::array<std::size_t, longest_compared + 1> row{};
    for (std::size_t j = 0; j <= name.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= text.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= name.size(); ++j) {
            const std::size_t above = row[j];
            const bool same = folded(text[i - 1]) == folded(name[j - 1]);
            row[j] = std::min({above + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[name.size()];
}

bool folded_prefix(std::string_view text, std::string_view name) noexcept {
    return text.size() <= name.size() &&
           std::equal(text.begin(), text.end(), name.begin(),
                      [](char a, char b) { return folded(a) == folded(b); });
}

}  // namespace

std::optional<std::string_view> closest_widget_kind(std::string_view text) noexcept {
    if (text.empty() || text.size() > longest_compared) return std::nullopt;
    std::optional<std::string_view> closest;
    std::size_t fewest = longest_compared;
    for (std::string_view name : widget_kind_names) {
        const std::size_t edits = folded_edit_distance(text, name);
        if (edits <= name.size() / 2 && edits < fewest) {
            closest = name;
            fewest = edits;
        }
    }
    if (closest) return closest;
    // "Click" or "joy": the start of a name, too short for the distance to find it.
    constexpr std::size_t shortest_beginning = 3;
    if (text.size() < shortest_beginning) return std::nullopt;
    for (std::string_view name : widget_kind_names) {
        if (folded_prefix(text, name)) return name;
    }
    return std::nullopt;
}

std::string action_key(std::uint8_t id, std::string_view widget) {
    std::string key(first_word(widget));
    key += '_';
    key += std::to_string(id);
    return key;
}

Result<ActionKeyParts, std::string> parse_action_key(std::string_view function_name) {
    const std::size_t first_underscore = function_name.find('_');
    if (first_underscore == std::string_view::npos) {
        return fail("the function name \"" + std::string(function_name) +
                    "\" has no \"_\": name an action <WidgetKind>_<id>, e.g. ClickButton_3");
    }
    const std::string_view widget = function_name.substr(0, first_underscore);
    std::string_view id_piece = function_name.substr(first_underscore + 1);
    id_piece = id_piece.substr(0, id_piece.find('_'));
    ActionKeyParts parts;
    const auto id = parse_widget_id(id_piece);
    if (!id) {
        return fail("the function name \"" + std::string(function_name) + "\" has \"" +
                    std::string(id_piece) +
                    "\" where the widget id belongs: expected a decimal number from 0 to 255");
    }
    parts.id = *id;
    parts.widget = std::string(widget);
    return parts;
}

}  // namespace velto::wire
