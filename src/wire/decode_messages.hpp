// The texts of decode failures: the protocol's message shapes and the codec's own errors.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "wire/marker.hpp"

namespace velto::wire::detail {

// What a decoder found where it wanted something else (the "found" part of a decode error
// message): a value that the message prints, or a kind that it names.
struct Unexpected {
    // Found kinds whose description carries no value.
    enum class Kind : std::uint8_t { Bytes, Unit, Seq, Map, NewtypeStruct, UnitVariant };
    struct Text {
        std::string_view utf8;  // valid UTF-8
    };

    std::variant<std::uint64_t, std::int64_t, double, bool, Text, Kind> found = Kind::Unit;

    static Unexpected of_unsigned(std::uint64_t v) { return {v}; }
    static Unexpected of_signed(std::int64_t v) { return {v}; }
    static Unexpected of_float(double v) { return {v}; }
    static Unexpected of_bool(bool v) { return {v}; }
    static Unexpected of_str(std::string_view v) { return {Text{v}}; }
    static Unexpected of(Kind kind) { return {kind}; }
};

// A float as these messages print it: the shortest decimal digits that read back as the same
// double, never in exponent form, with ".0" after an integral value; "NaN", "inf", "-inf".
std::string format_float(double value);

// A string as these messages quote it: in double quotes, with \" \\ \n \r \t \0 and other
// control characters escaped (\u{1b}).
std::string quote_string(std::string_view utf8);

// The found part of a message as it is printed ("integer `5`", "unit value", ...).
std::string describe(const Unexpected& found);

std::string invalid_type(const Unexpected& found, std::string_view expected);
std::string invalid_value(const Unexpected& found, std::string_view expected);
std::string invalid_length(std::uint64_t found, std::string_view expected);
std::string incorrect_length(std::uint64_t expected);
std::string missing_field(std::string_view name);
std::string duplicate_field(std::string_view name);
// `key` is shown as given (bin keys are made valid UTF-8 by the caller).
std::string unknown_variant(std::string_view key, std::span<const std::string_view> variants);

// The codec's own errors.
std::string incomplete_input();
std::string type_mismatch(std::uint8_t marker, std::string_view expected);
std::string reserved_marker();
std::string nesting_too_deep();
std::string invalid_utf8(std::size_t offset);

}  // namespace velto::wire::detail
