// The actions of a serving thread by widget kind and id: a frame's action is found by two
// indices, with no key text built and nothing hashed per frame.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>

#include "wire/frame.hpp"
#include "wire/values.hpp"

namespace velto::wire {

struct ActionSlot {
    std::size_t kind = 0;  // the variant index of WidgetRegistry
    std::uint8_t id = 0;

    bool operator==(const ActionSlot&) const = default;
};

// The slot of an action key that frames produce ("Joystick_7": kind name, "_", the id in
// decimal); nullopt for any other key ("_3", "Joystick_07", "Joystick_7_x"), under which no
// frame is ever dispatched.
std::optional<ActionSlot> action_slot(std::string_view key) noexcept;

// The slot a frame's action is looked up in: the same as action_slot(frame.action_key()).
inline ActionSlot action_slot(const Frame& frame) noexcept {
    return {frame.data.index(), frame.id};
}

// Actions (not owned) by slot; an empty slot is a null pointer.
template <class Action>
class ActionTable {
  public:
    // Puts `action` under `key`. A key that no frame produces is left out: returns false.
    bool place(std::string_view key, Action* action) noexcept {
        const auto slot = action_slot(key);
        if (!slot) return false;
        slots_[index(*slot)] = action;
        return true;
    }

    Action* find(const Frame& frame) const noexcept { return slots_[index(action_slot(frame))]; }

  private:
    static constexpr std::size_t ids = 256;
    static constexpr std::size_t index(ActionSlot slot) noexcept {
        return slot.kind * ids + slot.id;
    }

    std::array<Action*, std::variant_size_v<WidgetRegistry> * ids> slots_{};
};

}  // namespace velto::wire
