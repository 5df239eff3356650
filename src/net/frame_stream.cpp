// Decoding frames out of the received bytes, keeping an unfinished frame for later reads.
#include "net/frame_stream.hpp"

#include <cassert>
#include <string>

namespace velto::net {

void FrameStream::append(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return;
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    waiting_ = false;
}

Result<std::optional<wire::Frame>, wire::DecodeError> FrameStream::next() {
    if (failure_) return fail(*failure_);
    if (waiting_ || pending() == 0) return std::optional<wire::Frame>{};

    auto parsed = wire::Frame::parse(std::span(buffer_).subspan(start_));
    if (parsed) {
        // A frame is never empty and never longer than its input.
        assert(parsed.value().consumed > 0 && parsed.value().consumed <= pending());
        start_ += parsed.value().consumed;
        if (start_ == buffer_.size()) {
            buffer_.clear();
            start_ = 0;
        }
        return std::optional<wire::Frame>(std::move(parsed.value().frame));
    }
    if (!parsed.error().incomplete()) {
        failure_ = std::move(parsed).error();
        return fail(*failure_);
    }
    if (pending() > max_pending_frame) {
        failure_ = wire::DecodeError{
            wire::DecodeError::Kind::Invalid,
            "frame exceeds " + std::to_string(max_pending_frame) + " bytes without completing"};
        return fail(*failure_);
    }
    // Only the unfinished frame is kept, at the front, so the buffer never holds more than it
    // plus one cycle's receives.
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
    start_ = 0;
    waiting_ = true;
    return std::optional<wire::Frame>{};
}

std::vector<std::uint8_t> FrameStream::take_pending() {
    std::vector<std::uint8_t> rest(buffer_.begin() + static_cast<std::ptrdiff_t>(start_),
                                   buffer_.end());
    buffer_.clear();
    start_ = 0;
    waiting_ = false;
    return rest;
}

}  // namespace velto::net
