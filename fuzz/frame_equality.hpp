// Equality of decoded frames and decode failures, for the fuzz targets' cross-checks.
#pragma once

#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <variant>

#include "wire/frame.hpp"

namespace velto::fuzz {

// A broken property is a crash, so that libFuzzer keeps the input that shows it.
inline void check(bool condition) {
    if (!condition) std::abort();
}

// Floats are compared bit for bit: a NaN must come out as the same NaN.
inline bool same_bits(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

inline bool same_frame(const wire::Frame& a, const wire::Frame& b) {
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

inline bool same_error(const wire::DecodeError& a, const wire::DecodeError& b) {
    return a.kind == b.kind && a.text == b.text;
}

}  // namespace velto::fuzz
