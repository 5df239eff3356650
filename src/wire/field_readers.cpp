// The less common encodings of scalar fields and keys, and the failures they lead to.
#include "wire/field_readers.hpp"

#include <cassert>
#include <limits>
#include <string>
#include <utility>

#include "wire/utf8.hpp"

namespace velto::wire::detail {

namespace {

// Reads an integer of the unsigned families (as std::uint64_t) or of the signed ones (as
// std::int64_t) and hands it to `use`, which returns whether decoding goes on.
template <class Use>
bool with_integer(Reader& r, std::uint8_t marker, Use&& use) {
    if (family(marker) == Family::PositiveFixint || family(marker) == Family::Uint) {
        std::uint64_t value = 0;
        return r.read_uint(value) && use(value);
    }
    std::int64_t value = 0;
    return r.read_int(value) && use(value);
}

Unexpected integer_found(std::uint64_t value) {
    return Unexpected::of_unsigned(value);
}
Unexpected integer_found(std::int64_t value) {
    return Unexpected::of_signed(value);
}

}  // namespace

bool read_unexpected(Reader& r, Unexpected& found) {
    std::uint8_t marker = 0;
    if (!r.peek(marker)) return false;
    switch (family(marker)) {
        case Family::PositiveFixint:
        case Family::Uint:
        case Family::NegativeFixint:
        case Family::Int:
            return with_integer(r, marker, [&](auto value) {
                found = integer_found(value);
                return true;
            });
        case Family::Float32: {
            // Shown as the double it widens to exactly, so one rendering serves both widths.
            float value = 0;
            if (!r.read_float32(value)) return false;
            found = Unexpected::of_float(value);
            return true;
        }
        case Family::Float64: {
            double value = 0;
            if (!r.read_float64(value)) return false;
            found = Unexpected::of_float(value);
            return true;
        }
        case Family::Nil:
            r.skip_marker();
            found = Unexpected::of(Unexpected::Kind::Unit);
            return true;
        case Family::Bool:
            r.skip_marker();
            found = Unexpected::of_bool(marker == 0xc3);
            return true;
        case Family::Str: {
            std::string_view text;
            if (!r.read_str(text)) return false;
            if (auto bad = find_invalid_utf8(text)) return r.fail(invalid_utf8(*bad));
            found = Unexpected::of_str(text);
            return true;
        }
        // The marker alone names these, so nothing of their lengths is waited for.
        case Family::Bin:
            found = Unexpected::of(Unexpected::Kind::Bytes);
            return true;
        case Family::Array:
            found = Unexpected::of(Unexpected::Kind::Seq);
            return true;
        case Family::Map:
            found = Unexpected::of(Unexpected::Kind::Map);
            return true;
        case Family::Ext:
            found = Unexpected::of(Unexpected::Kind::NewtypeStruct);
            return true;
        case Family::Reserved:
            return r.fail(reserved_marker());
    }
    return r.fail(reserved_marker());
}

namespace {

// Nil, booleans and floats are values of the wrong type for a number or boolean field; every
// other family is the codec's own type mismatch.
bool fail_scalar(Reader& r, std::uint8_t marker, std::string_view expected) {
    switch (family(marker)) {
        case Family::PositiveFixint:
        case Family::Uint:
        case Family::NegativeFixint:
        case Family::Int:
        case Family::Float32:
        case Family::Float64:
        case Family::Nil:
        case Family::Bool: {
            Unexpected found;
            if (!read_unexpected(r, found)) return false;
            return r.fail(invalid_type(found, expected));
        }
        case Family::Reserved:
            return r.fail(reserved_marker());
        default:
            return r.fail(type_mismatch(marker, expected));
    }
}

// The slow paths take any number of names.
std::size_t find_name(std::span<const std::string_view> names, std::string_view key) noexcept {
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (key == names[i]) return i;
    }
    return names.size();
}

}  // namespace

bool read_u8_slow(Reader& r, std::uint8_t marker, std::uint8_t& out) {
    assert(family(marker) != Family::PositiveFixint);  // taken by read_u8
    switch (family(marker)) {
        case Family::Uint:
        case Family::NegativeFixint:
        case Family::Int:
            return with_integer(r, marker, [&](auto value) {
                if (std::cmp_less(value, 0) || std::cmp_greater(value, 0xff)) {
                    return r.fail(invalid_value(integer_found(value), "u8"));
                }
                out = static_cast<std::uint8_t>(value);
                return true;
            });
        default:
            return fail_scalar(r, marker, "u8");
    }
}

// Narrowing a double relies on IEEE floats: out-of-range values become infinities and NaN
// stays NaN with its sign, where other float formats would leave the result undefined.
static_assert(std::numeric_limits<float>::is_iec559);

bool read_f32_slow(Reader& r, std::uint8_t marker, float& out) {
    assert(family(marker) != Family::Float32);  // taken by read_f32
    switch (family(marker)) {
        case Family::PositiveFixint:
        case Family::Uint:
        case Family::NegativeFixint:
        case Family::Int:
            return with_integer(r, marker, [&](auto value) {
                out = static_cast<float>(value);
                return true;
            });
        case Family::Float64: {
            double value = 0;
            if (!r.read_float64(value)) return false;
            // IEEE conversion: round to nearest, overflow to infinity, sign of NaN kept.
            out = static_cast<float>(value);
            return true;
        }
        default:
            return fail_scalar(r, marker, "f32");
    }
}

bool read_bool_slow(Reader& r, std::uint8_t marker) {
    return fail_scalar(r, marker, "a boolean");
}

bool read_field_key_slow(Reader& r, std::span<const std::string_view> fields, std::size_t& index) {
    std::uint8_t marker = 0;
    if (!r.peek(marker)) return false;
    switch (family(marker)) {
        case Family::PositiveFixint:
        case Family::Uint: {
            std::uint64_t position = 0;
            if (!r.read_uint(position)) return false;
            index = position < fields.size() ? static_cast<std::size_t>(position) : fields.size();
            return true;
        }
        case Family::Str: {
            // Compared as bytes, so a key that is not valid UTF-8 simply names no field.
            std::string_view key;
            if (!r.read_str(key)) return false;
            index = find_name(fields, key);
            return true;
        }
        case Family::Bin: {
            std::string_view key;
            if (!r.read_bin(key)) return false;
            index = find_name(fields, key);
            return true;
        }
        default: {
            Unexpected found;
            if (!read_unexpected(r, found)) return false;
            return r.fail(invalid_type(found, "field identifier"));
        }
    }
}

bool read_variant_key_slow(Reader& r, std::span<const std::string_view> variants,
                           std::size_t& index) {
    std::uint8_t marker = 0;
    if (!r.peek(marker)) return false;
    switch (family(marker)) {
        case Family::PositiveFixint:
        case Family::Uint: {
            std::uint64_t position = 0;
            if (!r.read_uint(position)) return false;
            if (position >= variants.size()) {
                return r.fail(
                    invalid_value(Unexpected::of_unsigned(position),
                                  "variant index 0 <= i < " + std::to_string(variants.size())));
            }
            index = static_cast<std::size_t>(position);
            return true;
        }
        case Family::Str: {
            std::string_view key;
            if (!r.read_str(key)) return false;
            index = find_name(variants, key);
            if (index < variants.size()) return true;
            if (auto bad = find_invalid_utf8(key)) return r.fail(invalid_utf8(*bad));
            return r.fail(unknown_variant(key, variants));
        }
        case Family::Bin: {
            std::string_view key;
            if (!r.read_bin(key)) return false;
            index = find_name(variants, key);
            if (index < variants.size()) return true;
            return r.fail(unknown_variant(utf8_lossy(key), variants));
        }
        default: {
            Unexpected found;
            if (!read_unexpected(r, found)) return false;
            return r.fail(invalid_type(found, "variant identifier"));
        }
    }
}

}  // namespace velto::wire::detail
