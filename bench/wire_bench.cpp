// Timing of the codec: Frame::parse on the protocol's example frames against msgpack-c's untyped
// object decoder on the same bytes, and ResultFrame::encode on the result examples.
#include <benchmark/benchmark.h>
#include <msgpack.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "wire/frame.hpp"
#include "wire/result_frame.hpp"

namespace {

using velto::wire::ConfirmResult;
using velto::wire::ErrorResult;
using velto::wire::Frame;
using velto::wire::ResultFrame;
using velto::wire::ServerStatus;
using Bytes = std::vector<std::uint8_t>;

// Widget 3, toggle true, array form (18 bytes).
const Bytes kToggleArray = {0x92, 0x03, 0x81, 0xac, 0x54, 0x6f, 0x67, 0x67, 0x6c,
                            0x65, 0x42, 0x75, 0x74, 0x74, 0x6f, 0x6e, 0x91, 0xc3};
// Widget 7, joystick (0.5, -1.0) intensity 0.75, floats as float 32 (29 bytes).
const Bytes kJoystick = {0x92, 0x07, 0x81, 0xa8, 0x4a, 0x6f, 0x79, 0x73, 0x74, 0x69,
                         0x63, 0x6b, 0x92, 0x92, 0xca, 0x3f, 0x00, 0x00, 0x00, 0xca,
                         0xbf, 0x80, 0x00, 0x00, 0xca, 0x3f, 0x40, 0x00, 0x00};
// The toggle frame in map form (32 bytes).
const Bytes kToggleMap = {0x82, 0xa2, 0x69, 0x64, 0x03, 0xa4, 0x64, 0x61, 0x74, 0x61, 0x81,
                          0xac, 0x54, 0x6f, 0x67, 0x67, 0x6c, 0x65, 0x42, 0x75, 0x74, 0x74,
                          0x6f, 0x6e, 0x81, 0xa5, 0x76, 0x61, 0x6c, 0x75, 0x65, 0xc3};

void parse_frame(benchmark::State& state, const Bytes& bytes) {
    for (auto _ : state) {
        auto parsed = Frame::parse(bytes);
        if (!parsed.ok()) {
            state.SkipWithError("frame did not decode");
            break;
        }
        benchmark::DoNotOptimize(parsed);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}

// msgpack-c's own decoder, building its object tree in a zone: no validation against a schema.
void msgpackc_unpack(benchmark::State& state, const Bytes& bytes) {
    msgpack_unpacked unpacked;
    msgpack_unpacked_init(&unpacked);
    for (auto _ : state) {
        std::size_t offset = 0;
        const msgpack_unpack_return ret = msgpack_unpack_next(
            &unpacked, reinterpret_cast<const char*>(bytes.data()), bytes.size(), &offset);
        if (ret != MSGPACK_UNPACK_SUCCESS) {
            state.SkipWithError("msgpack-c did not decode");
            break;
        }
        benchmark::DoNotOptimize(unpacked.data);
        benchmark::DoNotOptimize(offset);
    }
    msgpack_unpacked_destroy(&unpacked);
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}

void encode(benchmark::State& state, const ResultFrame& frame) {
    for (auto _ : state) {
        auto bytes = frame.encode();
        benchmark::DoNotOptimize(bytes.data());
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK_CAPTURE(parse_frame, toggle_array, kToggleArray);
BENCHMARK_CAPTURE(msgpackc_unpack, toggle_array, kToggleArray);
BENCHMARK_CAPTURE(parse_frame, joystick, kJoystick);
BENCHMARK_CAPTURE(msgpackc_unpack, joystick, kJoystick);
BENCHMARK_CAPTURE(parse_frame, toggle_map, kToggleMap);
BENCHMARK_CAPTURE(msgpackc_unpack, toggle_map, kToggleMap);

BENCHMARK_CAPTURE(encode, idle_confirm_true,
                  ResultFrame{3, ServerStatus::Idle, ConfirmResult{true}});
BENCHMARK_CAPTURE(encode, error_bad, ResultFrame{200, ServerStatus::Error, ErrorResult{"bad"}});

}  // namespace
