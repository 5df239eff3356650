// Builds the texts of decode failures.
#include "wire/decode_messages.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace velto::wire::detail {

std::string format_float(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    // The shortest round-trip digits come from the scientific form ("1.2345e+02"); they are then
    // laid out positionally, padding with zeros, so 1e39 prints as a 1 and 39 zeros rather than
    // as the exact binary value that the fixed form would spell out.
    char buffer[64];
    auto [end, ec] =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    if (ec != std::errc{}) return "NaN";  // cannot happen: 64 bytes hold every double
    std::string_view sci(buffer, static_cast<std::size_t>(end - buffer));
    std::string text;
    if (sci.front() == '-') {
        text += '-';
        sci.remove_prefix(1);
    }
    const std::size_t e_pos = sci.find('e');
    std::string digits;
    for (char c : sci.substr(0, e_pos)) {
        if (c != '.') digits += c;
    }
    int exponent = 0;
    std::string_view exp_text = sci.substr(e_pos + 1);
    if (exp_text.front() == '+') exp_text.remove_prefix(1);
    std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);

    const int count = static_cast<int>(digits.size());
    if (exponent < 0) {
        text += "0.";
        text.append(static_cast<std::size_t>(-exponent - 1), '0');
        text += digits;
    } else if (exponent >= count - 1) {
        text += digits;
        text.append(static_cast<std::size_t>(exponent - (count - 1)), '0');
        text += ".0";
    } else {
        text += digits.substr(0, static_cast<std::size_t>(exponent + 1));
        text += '.';
        text += digits.substr(static_cast<std::size_t>(exponent + 1));
    }
    return text;
}

namespace {

void append_code_point_escape(std::string& out, unsigned code_point) {
    char buffer[16];
    int n = std::snprintf(buffer, sizeof buffer, "\\u{%x}", code_point);
    out.append(buffer, static_cast<std::size_t>(n));
}

}  // namespace

std::string quote_string(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size() + 2);
    out += '"';
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto byte = static_cast<unsigned char>(utf8[i]);
        switch (byte) {
            case '"':
                out += "\\\"";
                continue;
            case '\\':
                out += "\\\\";
                continue;
            case '\n':
                out += "\\n";
                continue;
            case '\r':
                out += "\\r";
                continue;
            case '\t':
                out += "\\t";
                continue;
            case '\0':
                out += "\\0";
                continue;
            default:
                break;
        }
        if (byte < 0x20 || byte == 0x7f) {
            append_code_point_escape(out, byte);
        } else if (byte == 0xc2 && i + 1 < utf8.size() &&
                   static_cast<unsigned char>(utf8[i + 1]) <= 0x9f) {
            // U+0080..U+009F, the second block of control characters (the input is valid UTF-8,
            // so the byte after 0xc2 is a continuation byte of at least 0x80).
            append_code_point_escape(out, static_cast<unsigned char>(utf8[i + 1]));
            ++i;
        } else {
            out += static_cast<char>(byte);
        }
    }
    out += '"';
    return out;
}

std::string describe(const Unexpected& found) {
    struct Describe {
        std::string operator()(std::uint64_t v) const {
            return "integer `" + std::to_string(v) + "`";
        }
        std::string operator()(std::int64_t v) const {
            return "integer `" + std::to_string(v) + "`";
        }
        std::string operator()(double v) const {
            return "floating point `" + format_float(v) + "`";
        }
        std::string operator()(bool v) const { return v ? "boolean `true`" : "boolean `false`"; }
        std::string operator()(Unexpected::Text t) const {
            return "string " + quote_string(t.utf8);
        }
        std::string operator()(Unexpected::Kind kind) const {
            switch (kind) {
                case Unexpected::Kind::Bytes:
                    return "byte array";
                case Unexpected::Kind::Unit:
                    return "unit value";
                case Unexpected::Kind::Seq:
                    return "sequence";
                case Unexpected::Kind::Map:
                    return "map";
                case Unexpected::Kind::NewtypeStruct:
                    return "newtype struct";
                case Unexpected::Kind::UnitVariant:
                    return "unit variant";
            }
            return "unit value";
        }
    };
    return std::visit(Describe{}, found.found);
}

std::string invalid_type(const Unexpected& found, std::string_view expected) {
    std::string text = "invalid type: " + describe(found) + ", expected ";
    text += expected;
    return text;
}

std::string invalid_value(const Unexpected& found, std::string_view expected) {
    std::string text = "invalid value: " + describe(found) + ", expected ";
    text += expected;
    return text;
}

std::string invalid_length(std::uint64_t found, std::string_view expected) {
    std::string text = "invalid length " + std::to_string(found) + ", expected ";
    text += expected;
    return text;
}

std::string incorrect_length(std::uint64_t expected) {
    return "array had incorrect length, expected " + std::to_string(expected);
}

std::string missing_field(std::string_view name) {
    std::string text = "missing field `";
    text += name;
    text += '`';
    return text;
}

std::string duplicate_field(std::string_view name) {
    std::string text = "duplicate field `";
    text += name;
    text += '`';
    return text;
}

std::string unknown_variant(std::string_view key, std::span<const std::string_view> variants) {
    std::string text = "unknown variant `";
    text += key;
    text += "`, expected one of ";
    for (std::size_t i = 0; i < variants.size(); ++i) {
        if (i != 0) text += ", ";
        text += '`';
        text += variants[i];
        text += '`';
    }
    return text;
}

std::string incomplete_input() {
    return "incomplete MessagePack data: the input ended before the value did";
}

std::string type_mismatch(std::uint8_t marker, std::string_view expected) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02x", marker);
    std::string text = "MessagePack type mismatch: found ";
    text += family_name(family(marker));
    text += " (marker ";
    text += hex;
    text += ") where ";
    text += expected;
    text += " was expected";
    return text;
}

std::string reserved_marker() {
    return "MessagePack type mismatch: found the reserved marker 0xc1, which encodes no value";
}

std::string nesting_too_deep() {
    return "MessagePack nesting too deep: at most 1023 nested arrays, maps and extension values "
           "are accepted";
}

std::string invalid_utf8(std::size_t offset) {
    return "invalid UTF-8 in a MessagePack string: invalid byte sequence at byte " +
           std::to_string(offset) + " of the string";
}

}  // namespace velto::wire::detail
