// The action table: a frame finds exactly the action its key was registered under, and keys no
// frame produces take no slot.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "wire/action_key.hpp"
#include "wire/action_table.hpp"
#include "wire/frame.hpp"

namespace velto::wire {
namespace {

const std::vector<WidgetRegistry> one_of_each_kind = {
    ClickButton{}, ToggleButton{true},     ConfirmButton{},
    PressButton{}, DirectionalButton{200}, Joystick{{0.5f, -1.0f}, 0.75f}};

TEST(ActionSlot, OfAFramesKeyIsTheFramesOwnForEveryKindAndId) {
    for (const WidgetRegistry& kind : one_of_each_kind) {
        for (unsigned id = 0; id <= 255; ++id) {
            const Frame frame{static_cast<std::uint8_t>(id), kind};
            const auto slot = action_slot(frame.action_key());
            ASSERT_TRUE(slot) << frame.action_key();
            EXPECT_EQ(*slot, action_slot(frame)) << frame.action_key();
        }
    }
}

class KeyWithoutFrame : public ::testing::TestWithParam<const char*> {};

TEST_P(KeyWithoutFrame, TakesNoSlot) {
    EXPECT_FALSE(action_slot(GetParam()));
    ActionTable<int> table;
    int action = 1;
    EXPECT_FALSE(table.place(GetParam(), &action));
}

INSTANTIATE_TEST_SUITE_P(Keys, KeyWithoutFrame,
                         ::testing::Values("", "_3", "ClickButton", "ClickButton_", "ClickButton3",
                                           "ClickButton_03", "ClickButton_+3", "ClickButton_-1",
                                           "ClickButton_256", "ClickButton_1000", "ClickButton_3_x",
                                           "ClickButton_3 ", " ClickButton_3", "clickbutton_3",
                                           "Click Button_3", "Coord_3", "WidgetRegistry_3"));

TEST(ActionTable, FindsTheActionPlacedUnderTheFramesKeyAndNothingElse) {
    ActionTable<int> table;
    int toggle = 1;
    int toggle_again = 2;
    int joystick = 3;
    ASSERT_TRUE(table.place("ToggleButton_3", &toggle));
    ASSERT_TRUE(table.place("Joystick_255", &joystick));
    ASSERT_TRUE(table.place("ToggleButton_3", &toggle_again));  // a later one replaces it
    for (const WidgetRegistry& kind : one_of_each_kind) {
        for (unsigned id = 0; id <= 255; ++id) {
            const Frame frame{static_cast<std::uint8_t>(id), kind};
            const int* expected = nullptr;
            if (frame.action_key() == "ToggleButton_3") expected = &toggle_again;
            if (frame.action_key() == "Joystick_255") expected = &joystick;
            EXPECT_EQ(table.find(frame), expected) << frame.action_key();
        }
    }
}

}  // namespace
}  // namespace velto::wire
