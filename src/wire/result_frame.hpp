// The outgoing message: a ResultFrame and its encoding.
#pragma once

#include <cstdint>
#include <vector>

#include "wire/values.hpp"

namespace velto::wire {

// An outgoing message. Owns its payload; holds nothing of the interpreter.
struct ResultFrame {
    std::uint8_t id = 0;
    ServerStatus status = ServerStatus::NotInit;
    ResultRegistry data;

    // Encodes the frame: fixarray of 3, id, status name string, one-entry payload map.
    std::vector<std::uint8_t> encode() const;
};

}  // namespace velto::wire
