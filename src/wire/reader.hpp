// A bounds-checked MessagePack reader over one input buffer, with the nesting budget of the
// decoding rules and a sticky first error.
#pragma once

#include <msgpuck.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "wire/decode_messages.hpp"
#include "wire/frame.hpp"
#include "wire/marker.hpp"

namespace velto::wire::detail {

// Every read either succeeds and moves the cursor past what it read, or records an error and
// returns false. Running out of input is always recorded as `Incomplete` (more bytes could
// continue the value); everything else as `Invalid`. msgpuck's decoders trust their input, so
// each one is preceded by its `mp_check_*` bounds check.
class Reader {
  public:
    // Entering a container takes one unit; reaching zero fails, so at most 1023 containers nest.
    static constexpr int depth_budget = 1024;

    explicit Reader(std::span<const std::uint8_t> bytes) noexcept
        : begin_(reinterpret_cast<const char*>(bytes.data())),
          cur_(begin_),
          end_(begin_ + bytes.size()) {}

    std::size_t position() const noexcept { return static_cast<std::size_t>(cur_ - begin_); }
    DecodeError take_error() noexcept { return std::move(error_); }

    // Record the first failure; later ones are ignored. Both return false, so a caller can
    // `return r.fail(...)`.
    bool fail_incomplete();
    bool fail(std::string text);

    // The next marker, not consumed.
    bool peek(std::uint8_t& marker) {
        if (cur_ == end_) return fail_incomplete();
        marker = static_cast<std::uint8_t>(*cur_);
        return true;
    }

    // Consumes a one-byte value (fixint, nil, boolean) whose marker was peeked.
    void skip_marker() noexcept { ++cur_; }

    // Positive fixint or uint 8 to 64.
    bool read_uint(std::uint64_t& value) {
        if (cur_ == end_ || mp_check_uint(cur_, end_) > 0) return fail_incomplete();
        value = mp_decode_uint(&cur_);
        return true;
    }

    // Negative fixint or int 8 to 64.
    bool read_int(std::int64_t& value) {
        if (cur_ == end_ || mp_check_int(cur_, end_) > 0) return fail_incomplete();
        value = mp_decode_int(&cur_);
        return true;
    }

    bool read_float32(float& value) {
        if (cur_ == end_ || mp_check_float(cur_, end_) > 0) return fail_incomplete();
        value = mp_decode_float(&cur_);
        return true;
    }

    bool read_float64(double& value) {
        if (cur_ == end_ || mp_check_double(cur_, end_) > 0) return fail_incomplete();
        value = mp_decode_double(&cur_);
        return true;
    }

    // A string's header and its whole body.
    bool read_str(std::string_view& bytes) {
        if (cur_ == end_ || mp_check_strl(cur_, end_) > 0) return fail_incomplete();
        const std::uint32_t length = mp_decode_strl(&cur_);
        return take_bytes(length, bytes);
    }

    // A bin value's header only; the cursor is left at its first body byte.
    bool read_bin_header(std::uint32_t& length) {
        // mp_check_binl asserts that a byte follows the marker before it compares the header
        // with the input, so a marker with nothing after it is reported here: its length field
        // is then missing whatever its width.
        if (end_ - cur_ < 2 || mp_check_binl(cur_, end_) > 0) return fail_incomplete();
        length = mp_decode_binl(&cur_);
        return true;
    }

    // A bin value's header and its whole body.
    bool read_bin(std::string_view& bytes) {
        std::uint32_t length = 0;
        return read_bin_header(length) && take_bytes(length, bytes);
    }

    // The next `length` bytes as they are, for a body whose header was read.
    bool take_bytes(std::size_t length, std::string_view& bytes) {
        if (length > static_cast<std::size_t>(end_ - cur_)) return fail_incomplete();
        bytes = std::string_view(cur_, length);
        cur_ += length;
        return true;
    }

    // The body of a fixstr that is all in the input, not consumed; false, with nothing recorded,
    // for anything else (the general readers then decide).
    bool peek_fixstr(std::string_view& bytes) const noexcept {
        if (cur_ == end_) return false;
        const auto marker = static_cast<std::uint8_t>(*cur_);
        if ((marker & 0xe0) != 0xa0) return false;
        const std::size_t length = marker & 0x1f;
        if (length >= static_cast<std::size_t>(end_ - cur_)) return false;
        bytes = std::string_view(cur_ + 1, length);
        return true;
    }
    // Consumes up to the end of `bytes`, a body found by a peek.
    void skip_past(std::string_view bytes) noexcept { cur_ = bytes.data() + bytes.size(); }

    // The one-byte headers are what every frame uses: no call into msgpuck's checks for them.
    bool read_array_header(std::uint32_t& count) {
        if (cur_ != end_ && (static_cast<std::uint8_t>(*cur_) & 0xf0) == 0x90) {
            count = static_cast<std::uint8_t>(*cur_++) & 0x0f;
            return true;
        }
        if (cur_ == end_ || mp_check_array(cur_, end_) > 0) return fail_incomplete();
        count = mp_decode_array(&cur_);
        return true;
    }

    bool read_map_header(std::uint32_t& count) {
        if (cur_ != end_ && (static_cast<std::uint8_t>(*cur_) & 0xf0) == 0x80) {
            count = static_cast<std::uint8_t>(*cur_++) & 0x0f;
            return true;
        }
        if (cur_ == end_ || mp_check_map(cur_, end_) > 0) return fail_incomplete();
        count = mp_decode_map(&cur_);
        return true;
    }

    // An extension value's marker, length and type byte; the cursor is left at its data.
    bool read_ext_header(std::uint32_t& length);

    // Takes one unit of the nesting budget on entering an array, map or extension value.
    bool enter() {
        if (--depth_ == 0) return fail(nesting_too_deep());
        return true;
    }
    void leave() noexcept { ++depth_; }

    // Skips one complete value of any kind, nested values included, without recursion: the
    // containers still open are kept in a bounded table, since the nesting budget bounds them.
    bool skip_value();

  private:
    const char* begin_;
    const char* cur_;
    const char* end_;
    int depth_ = depth_budget;
    bool failed_ = false;
    DecodeError error_{DecodeError::Kind::Invalid, {}};
};

}  // namespace velto::wire::detail
