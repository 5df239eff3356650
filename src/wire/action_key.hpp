// Action keys: the text under which an action is registered and looked up ("ClickButton_3").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.hpp"

namespace velto::wire {

// The first whitespace-separated word of `widget` (Unicode White_Space, UTF-8 input), "_", and
// the id in decimal. An empty or all-blank widget text gives "_<id>".
std::string action_key(std::uint8_t id, std::string_view widget);

// The widget kind name a mistyped widget text most likely meant, for a "did you mean" hint:
// letters compared without regard to case, the kind whose name is fewest edits away (at most
// half its length), or else one that the text begins ("Toggle", "joystik", "clickbutton");
// nullopt when no kind is that close.
std::optional<std::string_view> closest_widget_kind(std::string_view text) noexcept;

struct ActionKeyParts {
    std::uint8_t id = 0;
    std::string widget;
};

// Splits a function name such as "ClickButton_3" (further "_" pieces ignored) into widget text
// and id. The error is a sentence naming what is wrong with the name.
Result<ActionKeyParts, std::string> parse_action_key(std::string_view function_name);

}  // namespace velto::wire
