// libFuzzer target for Frame::parse: no crash, no out-of-bounds read, and the stream
// properties the server's framing relies on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <variant>
#include <vector>

#include "wire/frame.hpp"

namespace {

using velto::wire::DecodeError;
using velto::wire::Frame;

void check(bool condition) {
    if (!condition) std::abort();
}

bool same_bits(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

bool same_frame(const Frame& a, const Frame& b) {
    using namespace velto::wire;
    if (a.id != b.id || a.data.index() != b.data.index()) return false;
    return std::visit(
        [&](const auto& left) {
            using T = std::decay_t<decltype(left)>;
            const T& right = std::get<T>(b.data);
            if constexpr (std::is_same_v<T, ToggleButton>) return left.value == right.value;
            if constexpr (std::is_same_v<T, PressButton>) return left.pressed == right.pressed;
            if constexpr (std::is_same_v<T, DirectionalButton>) {
                return left.direction == right.direction;
            }
            if constexpr (std::is_same_v<T, Joystick>) {
                return same_bits(left.delta.x, right.delta.x) &&
                       same_bits(left.delta.y, right.delta.y) &&
                       same_bits(left.intensity, right.intensity);
            }
            return true;
        },
        a.data);
}

bool same_outcome(const velto::Result<velto::wire::ParsedFrame, DecodeError>& a,
                  const velto::Result<velto::wire::ParsedFrame, DecodeError>& b) {
    if (a.ok() != b.ok()) return false;
    if (a.ok()) return a->consumed == b->consumed && same_frame(a->frame, b->frame);
    return a.error().kind == b.error().kind && a.error().text == b.error().text;
}

// Parses a copy, so that a read past the given length is a heap overflow that ASan reports.
auto parse_copy(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> copy(data, data + size);
    return Frame::parse(std::span<const std::uint8_t>(copy.data(), copy.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto whole = parse_copy(data, size);

    if (whole.ok()) {
        const std::size_t consumed = whole->consumed;
        check(consumed > 0 && consumed <= size);
        // The frame alone decodes the same; every shorter prefix is merely incomplete.
        check(same_outcome(whole, parse_copy(data, consumed)));
        const std::size_t step = consumed > 64 ? consumed / 32 : 1;
        for (std::size_t k = 0; k < consumed; k += step) {
            const auto prefix = parse_copy(data, k);
            check(!prefix.ok() && prefix.error().incomplete());
        }
        (void)whole->frame.action_key();
    } else {
        // A prefix can only be incomplete or fail the same way: the verdict never depends on
        // where the input happens to end.
        for (std::size_t k : {size / 2, size > 0 ? size - 1 : 0}) {
            const auto prefix = parse_copy(data, k);
            check((!prefix.ok() && prefix.error().incomplete()) || same_outcome(prefix, whole));
        }
        if (whole.error().incomplete()) {
            check(size == 0 || !parse_copy(data, size - 1).ok());
        }
    }

    // Bytes after the input never change a decided outcome.
    if (whole.ok() || !whole.error().incomplete()) {
        std::vector<std::uint8_t> longer(data, data + size);
        longer.insert(longer.end(), {0xc1, 0x92, 0x00});
        check(same_outcome(whole, Frame::parse(longer)));
    }
    return 0;
}
