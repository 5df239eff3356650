// Action keys built from widget texts and taken apart from function names.
#include <gtest/gtest.h>

#include <optional>
#include <string_view>
#include <utility>

#include "wire/action_key.hpp"
#include "wire/frame.hpp"

namespace velto::wire {
namespace {

struct KeyCase {
    std::uint8_t id;
    std::string widget;
    std::string key;
};

class ActionKey : public ::testing::TestWithParam<KeyCase> {};

TEST_P(ActionKey, TakesTheFirstWordOfTheWidgetText) {
    EXPECT_EQ(action_key(GetParam().id, GetParam().widget), GetParam().key);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, ActionKey,
    ::testing::Values(KeyCase{3, "ClickButton", "ClickButton_3"},
                      KeyCase{0, "Joystick", "Joystick_0"},
                      KeyCase{255, "  ClickButton", "ClickButton_255"},
                      KeyCase{3, "ClickButton and more", "ClickButton_3"},
                      KeyCase{3, "\t\nToggleButton\r", "ToggleButton_3"},
                      // U+00A0, U+3000 and U+2029 are Unicode white space too.
                      KeyCase{3, "\xc2\xa0PressButton\xe3\x80\x80x", "PressButton_3"},
                      KeyCase{3, "Joystick\xe2\x80\xa9", "Joystick_3"},
                      // U+200B (zero width space) is not White_Space.
                      KeyCase{3, "a\xe2\x80\x8b", "a\xe2\x80\x8b_3"}, KeyCase{3, "", "_3"},
                      KeyCase{7, " \t ", "_7"}, KeyCase{1, "caf\xc3\xa9 x", "caf\xc3\xa9_1"}));

TEST(FrameActionKey, IsKindNameUnderscoreDecimalIdForEveryKind) {
    const std::pair<WidgetRegistry, const char*> kinds[] = {
        {ClickButton{}, "ClickButton_42"},
        {ToggleButton{true}, "ToggleButton_42"},
        {ConfirmButton{}, "ConfirmButton_42"},
        {PressButton{false}, "PressButton_42"},
        {DirectionalButton{4}, "DirectionalButton_42"},
        {Joystick{}, "Joystick_42"}};
    for (const auto& [kind, key] : kinds) {
        EXPECT_EQ((Frame{42, kind}.action_key()), key);
        EXPECT_EQ(action_key(42, name(kind)), key);
    }
}

struct NameCase {
    std::string name;
    std::uint8_t id;
    std::string widget;
};

class ParseActionKey : public ::testing::TestWithParam<NameCase> {};

TEST_P(ParseActionKey, SplitsWidgetAndId) {
    auto parts = parse_action_key(GetParam().name);
    ASSERT_TRUE(parts.ok()) << parts.error();
    EXPECT_EQ(parts->id, GetParam().id);
    EXPECT_EQ(parts->widget, GetParam().widget);
}

INSTANTIATE_TEST_SUITE_P(Names, ParseActionKey,
                         ::testing::Values(NameCase{"ClickButton_3", 3, "ClickButton"},
                                           NameCase{"ToggleButton_007", 7, "ToggleButton"},
                                           NameCase{"Joystick_0_left", 0, "Joystick"},
                                           NameCase{"click_3", 3, "click"},
                                           NameCase{"ClickButton_+9", 9, "ClickButton"},
                                           NameCase{"ClickButton_255", 255, "ClickButton"},
                                           NameCase{"_5", 5, ""}));

class ParseActionKeyFailure : public ::testing::TestWithParam<std::string> {};

TEST_P(ParseActionKeyFailure, NamesTheNameInItsError) {
    auto parts = parse_action_key(GetParam());
    ASSERT_FALSE(parts.ok());
    EXPECT_NE(parts.error().find("\"" + GetParam() + "\""), std::string::npos) << parts.error();
}

INSTANTIATE_TEST_SUITE_P(Names, ParseActionKeyFailure,
                         ::testing::Values("<lambda>", "Click_Button_3", "ClickButton_256",
                                           "ClickButton_-1", "ClickButton_", "ClickButton__3",
                                           "ClickButton_+", "ClickButton_3x", "ClickButton_ 3",
                                           "ClickButton_99999999999999999999", ""));

struct ClosestCase {
    std::string text;
    std::optional<std::string_view> closest;
};

class ClosestWidgetKind : public ::testing::TestWithParam<ClosestCase> {};

TEST_P(ClosestWidgetKind, IsTheKindAMistypedTextMostLikelyMeant) {
    EXPECT_EQ(closest_widget_kind(GetParam().text), GetParam().closest);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ClosestWidgetKind,
    ::testing::Values(
        // Letters in another case, one letter missing, swapped or wrong.
        ClosestCase{"clickbutton", "ClickButton"}, ClosestCase{"JOYSTICK", "Joystick"},
        ClosestCase{"joystik", "Joystick"}, ClosestCase{"TogleButton", "ToggleButton"},
        ClosestCase{"PresButton", "PressButton"},
        ClosestCase{"DirectionalButtons", "DirectionalButton"},
        ClosestCase{"ConfrimButton", "ConfirmButton"},
        // Half the name, or the start of it.
        ClosestCase{"Toggle", "ToggleButton"}, ClosestCase{"click", "ClickButton"},
        ClosestCase{"Direction", "DirectionalButton"}, ClosestCase{"joy", "Joystick"},
        // The fewest edits win; of equals, the first kind.
        ClosestCase{"Button", "ClickButton"}, ClosestCase{"ToggleButton_3", "ToggleButton"},
        // Nothing near.
        ClosestCase{"Lamp", std::nullopt}, ClosestCase{"jo", std::nullopt},
        ClosestCase{"", std::nullopt}, ClosestCase{std::string(65, 'a'), std::nullopt},
        ClosestCase{"Joystick" + std::string(60, ' '), std::nullopt}));

}  // namespace
}  // namespace velto::wire
