// The slot of an action key: which kind and id a frame must have to be dispatched under it.
#include "wire/action_table.hpp"

#include "common/decimal.hpp"

namespace velto::wire {

std::optional<ActionSlot> action_slot(std::string_view key) noexcept {
    const std::size_t underscore = key.find('_');
    if (underscore == std::string_view::npos) return std::nullopt;
    const std::string_view widget = key.substr(0, underscore);
    const std::string_view digits = key.substr(underscore + 1);
    std::size_t kind = 0;
    while (kind < widget_kind_names.size() && widget_kind_names[kind] != widget) ++kind;
    if (kind == widget_kind_names.size()) return std::nullopt;
    // Exactly the decimal a frame's key has: no sign, no leading zero, nothing after.
    if (digits.empty() || digits.size() > 3 || (digits.size() > 1 && digits.front() == '0')) {
        return std::nullopt;
    }
    const auto id = parse_decimal<std::uint8_t>(digits);
    if (!id) return std::nullopt;
    return ActionSlot{kind, *id};
}

}  // namespace velto::wire
