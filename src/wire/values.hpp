// The protocol's plain value types: what a client sends (Frame and the widget values inside it)
// and what the server answers (ResultFrame with its status and payload).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
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

// The one description of the six kinds: each kind's name and field names. The decoder matches
// them, action keys are made of the names, and the binding names its classes, attributes and
// __match_args__ after them; the kinds' order and count come from the variant.
template <class Widget>
struct WidgetKind;

template <>
struct WidgetKind<ClickButton> {
    static constexpr std::string_view name = "ClickButton";
    static constexpr std::array<std::string_view, 0> fields = {};
};
template <>
struct WidgetKind<ToggleButton> {
    static constexpr std::string_view name = "ToggleButton";
    static constexpr std::array<std::string_view, 1> fields = {"value"};
};
template <>
struct WidgetKind<ConfirmButton> {
    static constexpr std::string_view name = "ConfirmButton";
    static constexpr std::array<std::string_view, 0> fields = {};
};
template <>
struct WidgetKind<PressButton> {
    static constexpr std::string_view name = "PressButton";
    static constexpr std::array<std::string_view, 1> fields = {"pressed"};
};
template <>
struct WidgetKind<DirectionalButton> {
    static constexpr std::string_view name = "DirectionalButton";
    static constexpr std::array<std::string_view, 1> fields = {"direction"};
};
template <>
struct WidgetKind<Joystick> {
    static constexpr std::string_view name = "Joystick";
    static constexpr std::array<std::string_view, 2> fields = {"delta", "intensity"};
};

inline constexpr std::size_t widget_kind_count = std::variant_size_v<WidgetRegistry>;

// The kind at a variant index.
template <std::size_t Index>
using WidgetKindAt = WidgetKind<std::variant_alternative_t<Index, WidgetRegistry>>;

// The variant index of a kind.
template <class Widget, std::size_t Index = 0>
constexpr std::size_t widget_kind_index() noexcept {
    static_assert(Index < widget_kind_count, "not a widget kind");
    if constexpr (std::is_same_v<std::variant_alternative_t<Index, WidgetRegistry>, Widget>) {
        return Index;
    } else {
        return widget_kind_index<Widget, Index + 1>();
    }
}

// The kind names by variant index.
inline constexpr std::array<std::string_view, widget_kind_count> widget_kind_names =
    []<std::size_t... Index>(std::index_sequence<Index...>) {
        return std::array<std::string_view, widget_kind_count>{WidgetKindAt<Index>::name...};
    }(std::make_index_sequence<widget_kind_count>());

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
