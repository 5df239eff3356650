// The record rule: reading a fixed list of fields from an array, a map keyed by field, or a
// bin value whose bytes are the fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "wire/field_readers.hpp"
#include "wire/reader.hpp"

namespace velto::wire::detail {

// A record description provides:
//   using Value;                             the decoded record
//   static constexpr std::string_view name;  what an invalid type message says was expected
//                                            ("struct Coord")
//   static constexpr std::string_view count; what an invalid length message says was expected
//                                            ("struct Coord with 2 ...")
//   static constexpr std::array<std::string_view, K> fields;
//   static bool read_field(Reader&, std::size_t index, Value&);
// and, for the bin form, where each byte is an unsigned integer 0..255:
//   static constexpr std::array<std::string_view, K> byte_refused;
//       per field, what the invalid type message that every byte fails with there says was
//       expected (a boolean, a union or a nested record), or empty for a number field, which
//       takes every byte as its value;
//   static void store_byte(std::size_t index, std::uint8_t byte, Value&);  number fields only
template <class Record>
bool read_record_array(Reader& r, typename Record::Value& out) {
    constexpr std::size_t field_count = Record::fields.size();
    std::uint32_t length = 0;
    if (!r.read_array_header(length)) return false;
    if (!r.enter()) return false;
    const std::size_t present = length < field_count ? length : field_count;
    for (std::size_t i = 0; i < present; ++i) {
        if (!Record::read_field(r, i, out)) return false;
    }
    if (length < field_count) return r.fail(invalid_length(length, Record::count));
    // Surplus elements are not looked at.
    if (length > field_count) return r.fail(incorrect_length(field_count));
    r.leave();
    return true;
}

template <class Record>
bool read_record_map(Reader& r, typename Record::Value& out) {
    constexpr std::size_t field_count = Record::fields.size();
    static_assert(field_count < 32, "seen fields are kept in a 32-bit mask");
    std::uint32_t entries = 0;
    if (!r.read_map_header(entries)) return false;
    if (!r.enter()) return false;
    std::uint32_t seen = 0;
    for (std::uint32_t e = 0; e < entries; ++e) {
        std::size_t index = 0;
        if (!read_field_key<Record::fields>(r, index)) return false;
        if (index == field_count) {
            if (!r.skip_value()) return false;
            continue;
        }
        const std::uint32_t bit = std::uint32_t{1} << index;
        if ((seen & bit) != 0) return r.fail(duplicate_field(Record::fields[index]));
        seen |= bit;
        if (!Record::read_field(r, index, out)) return false;
    }
    for (std::size_t i = 0; i < field_count; ++i) {
        if ((seen & (std::uint32_t{1} << i)) == 0) return r.fail(missing_field(Record::fields[i]));
    }
    r.leave();
    return true;
}

template <class Record>
bool read_record_bin(Reader& r, typename Record::Value& out) {
    constexpr std::size_t field_count = Record::fields.size();
    std::uint32_t length = 0;
    if (!r.read_bin_header(length)) return false;
    const std::size_t present = length < field_count ? length : field_count;
    // Whether a byte fits a field depends on the field alone, so the verdict is known from the
    // header and at most the one byte it names: a stream reader must not wait for the rest of a
    // declared body that can never decode.
    for (std::size_t i = 0; i < present; ++i) {
        if (Record::byte_refused[i].empty()) continue;
        std::string_view head;
        if (!r.take_bytes(i + 1, head)) return false;
        const auto byte = static_cast<std::uint8_t>(head[i]);
        return r.fail(invalid_type(Unexpected::of_unsigned(byte), Record::byte_refused[i]));
    }
    if (length < field_count) return r.fail(invalid_length(length, Record::count));
    std::string_view bytes;
    if (!r.take_bytes(length, bytes)) return false;
    // Only records whose fields all take bytes get here. Bytes beyond the last field are
    // ignored, unlike surplus array elements.
    for (std::size_t i = 0; i < field_count; ++i) {
        Record::store_byte(i, static_cast<std::uint8_t>(bytes[i]), out);
    }
    return true;
}

template <class Record>
bool read_record(Reader& r, typename Record::Value& out) {
    std::uint8_t marker = 0;
    if (!r.peek(marker)) return false;
    switch (family(marker)) {
        case Family::Array:
            return read_record_array<Record>(r, out);
        case Family::Map:
            return read_record_map<Record>(r, out);
        case Family::Bin:
            return read_record_bin<Record>(r, out);
        default: {
            Unexpected found;
            if (!read_unexpected(r, found)) return false;
            return r.fail(invalid_type(found, Record::name));
        }
    }
}

}  // namespace velto::wire::detail
