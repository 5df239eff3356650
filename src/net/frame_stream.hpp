// Cutting a byte stream into frames: bytes arrive in arbitrary pieces, complete frames leave in
// order, and an incomplete frame at the end waits for the bytes that complete it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/result.hpp"
#include "wire/frame.hpp"

namespace velto::net {

class FrameStream {
  public:
    // The most bytes an unfinished frame may hold. Real frames are a few dozen bytes; the bound
    // keeps a client from making the server buffer without limit.
    static constexpr std::size_t max_pending_frame = 64 * 1024;

    void append(std::span<const std::uint8_t> bytes);

    // The next complete frame; nullopt when the bytes so far end before a frame does (they are
    // kept). An error when the bytes can never become a frame (the decoder's text), or when the
    // unfinished frame outgrows `max_pending_frame`. After an error the stream keeps returning
    // it.
    Result<std::optional<wire::Frame>, wire::DecodeError> next();

    // Bytes received but not yet part of a returned frame: after an error, the ones that did
    // not decode.
    std::size_t pending() const noexcept { return buffer_.size() - start_; }
    // Those bytes themselves, valid until the stream changes: for a reader that looks ahead,
    // and for the report of bytes that did not decode.
    std::span<const std::uint8_t> pending_bytes() const noexcept {
        return std::span(buffer_).subspan(start_);
    }
    // Removes and returns those bytes (for the reader that takes the connection over).
    std::vector<std::uint8_t> take_pending();

  private:
    std::vector<std::uint8_t> buffer_;
    std::size_t start_ = 0;
    // The bytes from start_ were found incomplete and nothing has arrived since: decoding them
    // again would give the same answer.
    bool waiting_ = false;
    std::optional<wire::DecodeError> failure_;
};

}  // namespace velto::net
