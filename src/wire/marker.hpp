// MessagePack marker bytes sorted into the families that the decoding rules tell apart.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace velto::wire::detail {

// Finer than the format's own type list where the protocol's rules need it: a signed encoding
// of a non-negative number is not an unsigned one, float 32 is not float 64, and 0xc1 is no
// value at all.
enum class Family : std::uint8_t {
    PositiveFixint,
    Uint,  // uint 8, 16, 32, 64
    NegativeFixint,
    Int,  // int 8, 16, 32, 64
    Float32,
    Float64,
    Nil,
    Bool,
    Str,
    Bin,
    Array,
    Map,
    Ext,
    Reserved,  // 0xc1
};

constexpr Family family_of(std::uint8_t marker) noexcept {
    if (marker <= 0x7f) return Family::PositiveFixint;
    if (marker <= 0x8f) return Family::Map;
    if (marker <= 0x9f) return Family::Array;
    if (marker <= 0xbf) return Family::Str;
    if (marker >= 0xe0) return Family::NegativeFixint;
    switch (marker) {
        case 0xc0:
            return Family::Nil;
        case 0xc1:
            return Family::Reserved;
        case 0xc2:
        case 0xc3:
            return Family::Bool;
        case 0xc4:
        case 0xc5:
        case 0xc6:
            return Family::Bin;
        case 0xc7:
        case 0xc8:
        case 0xc9:
            return Family::Ext;
        case 0xca:
            return Family::Float32;
        case 0xcb:
            return Family::Float64;
        case 0xcc:
        case 0xcd:
        case 0xce:
        case 0xcf:
            return Family::Uint;
        case 0xd0:
        case 0xd1:
        case 0xd2:
        case 0xd3:
            return Family::Int;
        case 0xd4:
        case 0xd5:
        case 0xd6:
        case 0xd7:
        case 0xd8:
            return Family::Ext;
        case 0xd9:
        case 0xda:
        case 0xdb:
            return Family::Str;
        case 0xdc:
        case 0xdd:
            return Family::Array;
        default:  // 0xde, 0xdf
            return Family::Map;
    }
}

// One lookup instead of a chain of comparisons on the hot path.
inline constexpr std::array<Family, 256> family_table = [] {
    std::array<Family, 256> table{};
    for (unsigned m = 0; m < 256; ++m) table[m] = family_of(static_cast<std::uint8_t>(m));
    return table;
}();

inline Family family(std::uint8_t marker) noexcept {
    return family_table[marker];
}

// The family's name in the codec's own error texts.
constexpr std::string_view family_name(Family family) noexcept {
    switch (family) {
        case Family::PositiveFixint:
            return "positive fixint";
        case Family::Uint:
            return "unsigned integer";
        case Family::NegativeFixint:
            return "negative fixint";
        case Family::Int:
            return "signed integer";
        case Family::Float32:
            return "float 32";
        case Family::Float64:
            return "float 64";
        case Family::Nil:
            return "nil";
        case Family::Bool:
            return "boolean";
        case Family::Str:
            return "string";
        case Family::Bin:
            return "bin";
        case Family::Array:
            return "array";
        case Family::Map:
            return "map";
        case Family::Ext:
            return "extension";
        case Family::Reserved:
            return "reserved marker";
    }
    return "unknown";
}

}  // namespace velto::wire::detail
