// Action keys: building them from a widget text and an id, and taking a function name apart.
#include "wire/action_key.hpp"

#include <optional>
#include <vector>

#include "common/decimal.hpp"
#include "wire/utf8.hpp"

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

}  // namespace

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
