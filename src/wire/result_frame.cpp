// Encoding of an outgoing ResultFrame: fixarray of 3, id, status name, one-entry payload map.
#include "wire/result_frame.hpp"

#include <msgpuck.h>

#include <cassert>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <variant>

#include "common/fault.hpp"

namespace velto::wire {

namespace {

constexpr std::string_view confirm_name = "ConfirmResult";
constexpr std::string_view error_name = "ErrorResult";

char* encode_str(char* out, std::string_view text) {
    return mp_encode_str(out, text.data(), static_cast<std::uint32_t>(text.size()));
}

}  // namespace

std::vector<std::uint8_t> ResultFrame::encode() const {
    const auto status_index = static_cast<std::size_t>(status);
    // A ServerStatus only ever holds one of its four members.
    assert(status_index < server_status_names.size());
    const std::string_view status_name = server_status_names[status_index];
    const auto* error = std::get_if<ErrorResult>(&data);
    if (error != nullptr && error->error.size() > std::numeric_limits<std::uint32_t>::max()) {
        // The widest string header holds a 32-bit length; nothing longer can be framed.
        raise_fault("Serialization error : string of " + std::to_string(error->error.size()) +
                    " bytes is too long for a MessagePack string");
    }
    const std::string_view variant_name = error != nullptr ? error_name : confirm_name;

    // The size is known in advance, so the buffer is allocated once and filled in place.
    std::size_t size =
        mp_sizeof_array(3) + mp_sizeof_uint(id) +
        mp_sizeof_str(static_cast<std::uint32_t>(status_name.size())) + mp_sizeof_map(1) +
        mp_sizeof_str(static_cast<std::uint32_t>(variant_name.size())) + mp_sizeof_array(1);
    if (error != nullptr) {
        size +=
            mp_sizeof_strl(static_cast<std::uint32_t>(error->error.size())) + error->error.size();
    } else {
        size += mp_sizeof_bool(true);
    }

    std::vector<std::uint8_t> buffer(size);
    char* const begin = reinterpret_cast<char*>(buffer.data());
    char* out = begin;
    out = mp_encode_array(out, 3);
    out = mp_encode_uint(out, id);
    out = encode_str(out, status_name);
    out = mp_encode_map(out, 1);
    out = encode_str(out, variant_name);
    out = mp_encode_array(out, 1);
    if (error != nullptr) {
        out = encode_str(out, error->error);
    } else {
        out = mp_encode_bool(out, std::get<ConfirmResult>(data).status);
    }
    // The planned size and the encoders use msgpuck's own header rules, so they cannot differ.
    assert(static_cast<std::size_t>(out - begin) == size);
    return buffer;
}

}  // namespace velto::wire
