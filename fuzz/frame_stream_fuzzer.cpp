// libFuzzer target for FrameStream: a byte stream handed over in arbitrary pieces yields the
// same frames, the same failure and the same unfinished tail as the stream handed over whole.
//
// Input layout: the stream, then up to 15 piece lengths (one byte each), then one byte whose
// low four bits count those lengths. The bytes after the last cut form the final piece.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "frame_equality.hpp"
#include "net/frame_stream.hpp"

namespace {

using velto::fuzz::check;
using velto::fuzz::same_error;
using velto::fuzz::same_frame;
using velto::net::FrameStream;
using velto::wire::DecodeError;
using velto::wire::Frame;

struct Outcome {
    std::vector<Frame> frames;
    std::optional<DecodeError> failure;
    std::vector<std::uint8_t> tail;
};

// Takes every frame the stream can give now; stops at the first failure.
void drain(FrameStream& stream, Outcome& outcome) {
    while (!outcome.failure) {
        auto next = stream.next();
        if (!next.ok()) {
            outcome.failure = next.error();
            // A failure is final: asking again gives it again.
            auto again = stream.next();
            check(!again.ok() && same_error(again.error(), *outcome.failure));
            return;
        }
        if (!next.value()) {
            // Nothing new arrived, so asking again changes nothing.
            auto again = stream.next();
            check(again.ok() && !again.value());
            return;
        }
        outcome.frames.push_back(std::move(*next.value()));
    }
}

Outcome feed(std::span<const std::uint8_t> stream_bytes, std::span<const std::uint8_t> cuts) {
    FrameStream stream;
    Outcome outcome;
    for (const std::uint8_t length : cuts) {
        const std::size_t piece = std::min<std::size_t>(length, stream_bytes.size());
        // A copy per piece, so that a read past what was handed over is caught by ASan.
        const std::vector<std::uint8_t> copy(stream_bytes.begin(), stream_bytes.begin() + piece);
        stream.append(copy);
        stream_bytes = stream_bytes.subspan(piece);
        drain(stream, outcome);
    }
    const std::vector<std::uint8_t> rest(stream_bytes.begin(), stream_bytes.end());
    stream.append(rest);
    drain(stream, outcome);
    if (!outcome.failure) outcome.tail = stream.take_pending();
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t cut_count = std::min<std::size_t>(data[size - 1] & 0x0f, size - 1);
    const std::span<const std::uint8_t> input(data, size - 1);
    const auto stream_bytes = input.first(input.size() - cut_count);
    const auto cuts = input.last(cut_count);
    // A frame longer than the stream's bound is refused when it arrives in pieces but decodes
    // when handed over whole; such streams are outside the property.
    if (stream_bytes.size() > FrameStream::max_pending_frame) return 0;

    const Outcome whole = feed(stream_bytes, {});
    const Outcome pieces = feed(stream_bytes, cuts);

    check(whole.frames.size() == pieces.frames.size());
    for (std::size_t i = 0; i < whole.frames.size(); ++i) {
        check(same_frame(whole.frames[i], pieces.frames[i]));
    }
    check(whole.failure.has_value() == pieces.failure.has_value());
    if (whole.failure) {
        check(same_error(*whole.failure, *pieces.failure));
        // An incomplete frame is never a failure of the stream: it waits for more bytes.
        check(!whole.failure->incomplete());
    }
    check(whole.tail == pieces.tail);
    return 0;
}
