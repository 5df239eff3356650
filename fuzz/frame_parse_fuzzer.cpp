// libFuzzer target for Frame::parse: no crash, no out-of-bounds read, and the stream
// properties the server's framing relies on.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "frame_equality.hpp"
#include "wire/frame.hpp"

namespace {

using velto::fuzz::check;
using velto::fuzz::same_error;
using velto::fuzz::same_frame;
using velto::wire::DecodeError;
using velto::wire::Frame;

bool same_outcome(const velto::Result<velto::wire::ParsedFrame, DecodeError>& a,
                  const velto::Result<velto::wire::ParsedFrame, DecodeError>& b) {
    if (a.ok() != b.ok()) return false;
    if (a.ok()) return a->consumed == b->consumed && same_frame(a->frame, b->frame);
    return same_error(a.error(), b.error());
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
