// The reader's slow paths: recording failures, extension headers and skipping whole values.
#include "wire/reader.hpp"

#include <cassert>

namespace velto::wire::detail {

bool Reader::fail_incomplete() {
    if (!failed_) {
        failed_ = true;
        error_ = DecodeError{DecodeError::Kind::Incomplete, incomplete_input()};
    }
    return false;
}

bool Reader::fail(std::string text) {
    if (!failed_) {
        failed_ = true;
        error_ = DecodeError{DecodeError::Kind::Invalid, std::move(text)};
    }
    return false;
}

bool Reader::read_ext_header(std::uint32_t& length) {
    if (cur_ == end_) return fail_incomplete();
    const auto marker = static_cast<std::uint8_t>(*cur_);
    // Bytes after the marker before the data: the length field (if any) and the type byte.
    std::size_t header = 0;
    switch (marker) {
        case 0xd4:
        case 0xd5:
        case 0xd6:
        case 0xd7:
        case 0xd8:
            header = 1;
            break;
        case 0xc7:
            header = 2;
            break;
        case 0xc8:
            header = 3;
            break;
        default:  // 0xc9
            header = 5;
            break;
    }
    if (static_cast<std::size_t>(end_ - cur_) < 1 + header) return fail_incomplete();
    ++cur_;
    switch (marker) {
        case 0xc7:
            length = mp_load_u8(&cur_);
            break;
        case 0xc8:
            length = mp_load_u16(&cur_);
            break;
        case 0xc9:
            length = mp_load_u32(&cur_);
            break;
        default:  // fixext 1, 2, 4, 8, 16
            length = 1u << (marker - 0xd4);
            break;
    }
    ++cur_;  // the extension's type byte means nothing to this protocol
    return true;
}

bool Reader::skip_value() {
    // pending[i] = values still to skip in the i-th open container. Each open container holds
    // one unit of the budget, so fewer than depth_budget can be open at once.
    std::uint64_t pending[depth_budget];
    std::size_t open = 0;
    std::uint64_t todo = 1;
    for (;;) {
        while (todo == 0) {
            if (open == 0) return true;
            leave();
            todo = pending[--open];
        }
        --todo;
        std::uint8_t marker = 0;
        if (!peek(marker)) return false;
        switch (family(marker)) {
            case Family::PositiveFixint:
            case Family::NegativeFixint:
            case Family::Nil:
            case Family::Bool:
                skip_marker();
                break;
            case Family::Uint: {
                std::uint64_t ignored = 0;
                if (!read_uint(ignored)) return false;
                break;
            }
            case Family::Int: {
                std::int64_t ignored = 0;
                if (!read_int(ignored)) return false;
                break;
            }
            case Family::Float32: {
                float ignored = 0;
                if (!read_float32(ignored)) return false;
                break;
            }
            case Family::Float64: {
                double ignored = 0;
                if (!read_float64(ignored)) return false;
                break;
            }
            case Family::Str: {
                // Skipped text is not checked for UTF-8: whatever the value is, it is ignored.
                std::string_view ignored;
                if (!read_str(ignored)) return false;
                break;
            }
            case Family::Bin: {
                std::string_view ignored;
                if (!read_bin(ignored)) return false;
                break;
            }
            case Family::Array:
            case Family::Map: {
                std::uint32_t count = 0;
                const bool is_map = family(marker) == Family::Map;
                if (!(is_map ? read_map_header(count) : read_array_header(count))) return false;
                if (!enter()) return false;
                assert(open < depth_budget);
                pending[open++] = todo;
                todo = is_map ? 2 * std::uint64_t{count} : count;
                break;
            }
            case Family::Ext: {
                std::uint32_t length = 0;
                if (!read_ext_header(length)) return false;
                if (!enter()) return false;
                leave();
                std::string_view ignored;
                if (!take_bytes(length, ignored)) return false;
                break;
            }
            case Family::Reserved:
                return fail(reserved_marker());
        }
    }
}

}  // namespace velto::wire::detail
