// The protocol's plain value types: what a client sends (Frame and the widget values inside it)
// and what the server answers (ResultFrame with its status and payload).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace velto::wire {

// Two-dimensional joystick displacement.
struct Coord {
    float x = 0.0f;
    float y = 0.0f;
};

// The six widget kinds, in their wire order (the variant index is the position a client may
// send instead of the name).
struct ClickButton {};
struct ToggleButton {
    bool value = false;
};
struct ConfirmButton {};
struct PressButton {
    bool pressed = false;
};
struct DirectionalButton {
    std::uint8_t direction = 0;
};
struct Joystick {
    Coord delta;
    float intensity = 0.0f;
};

using WidgetRegistry = std::variant<ClickButton, ToggleButton, ConfirmButton, PressButton,
                                    DirectionalButton, Joystick>;

inline constexpr std::array<std::string_view, 6> widget_kind_names = {
    "ClickButton", "ToggleButton", "ConfirmButton", "PressButton", "DirectionalButton", "Joystick",
};

// The kind name of a widget value ("ClickButton", ...); also the widget part of action keys.
inline std::string_view name(const WidgetRegistry& widget) noexcept {
    return widget_kind_names[widget.index()];
}

// Server status sent in every result frame; the enumerator value is the member's index.
enum class ServerStatus : std::uint8_t { NotInit = 0, Idle = 1, Busy = 2, Error = 3 };

inline constexpr std::array<std::string_view, 4> server_status_names = {
    "NotInit",
    "Idle",
    "Busy",
    "Error",
};

// Result payloads.
struct ConfirmResult {
    bool status = false;
};
struct ErrorResult {
    std::string error;  // UTF-8
};

using ResultRegistry = std::variant<ConfirmResult, ErrorResult>;

}  // namespace velto::wire
