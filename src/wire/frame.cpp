// Decoding of an incoming Frame: the protocol's records and its widget union; its action key.
#include "wire/frame.hpp"

#include <array>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "wire/action_key.hpp"
#include "wire/record_reader.hpp"

namespace velto::wire {

namespace detail {
namespace {

struct CoordRecord {
    using Value = Coord;
    static constexpr std::string_view name = "struct Coord";
    static constexpr std::string_view count = "struct Coord with 2 elements";
    static constexpr std::array<std::string_view, 2> fields = {"x", "y"};

    static bool read_field(Reader& r, std::size_t index, Coord& out) {
        return read_f32(r, index == 0 ? out.x : out.y);
    }
    static constexpr std::array<std::string_view, 2> byte_refused = {};
    static void store_byte(std::size_t index, std::uint8_t byte, Coord& out) {
        (index == 0 ? out.x : out.y) = byte;
    }
};

// ClickButton and ConfirmButton carry an empty record.
template <class Widget>
struct EmptyRecord {
    using Value = Widget;
    static constexpr auto fields = WidgetKind<Widget>::fields;
    static bool read_field(Reader&, std::size_t, Widget&) { return true; }
    static constexpr std::array<std::string_view, 0> byte_refused = {};
    static void store_byte(std::size_t, std::uint8_t, Widget&) {}
};

struct ClickButtonRecord : EmptyRecord<ClickButton> {
    static constexpr std::string_view name = "struct variant WidgetRegistry::ClickButton";
    static constexpr std::string_view count = "struct variant WidgetRegistry::ClickButton";
};

struct ConfirmButtonRecord : EmptyRecord<ConfirmButton> {
    static constexpr std::string_view name = "struct variant WidgetRegistry::ConfirmButton";
    static constexpr std::string_view count = "struct variant WidgetRegistry::ConfirmButton";
};

// ToggleButton and PressButton carry one boolean, which no byte of the bin form can be.
template <class Widget, bool Widget::*field>
struct BooleanRecord {
    using Value = Widget;
    static bool read_field(Reader& r, std::size_t, Widget& out) { return read_bool(r, out.*field); }
    static constexpr std::array<std::string_view, 1> byte_refused = {"a boolean"};
    static void store_byte(std::size_t, std::uint8_t, Widget&) {}
};

struct ToggleButtonRecord : BooleanRecord<ToggleButton, &ToggleButton::value> {
    static constexpr std::string_view name = "struct variant WidgetRegistry::ToggleButton";
    static constexpr std::string_view count =
        "struct variant WidgetRegistry::ToggleButton with 1 element";
    static constexpr auto fields = WidgetKind<ToggleButton>::fields;
};

struct PressButtonRecord : BooleanRecord<PressButton, &PressButton::pressed> {
    static constexpr std::string_view name = "struct variant WidgetRegistry::PressButton";
    static constexpr std::string_view count =
        "struct variant WidgetRegistry::PressButton with 1 element";
    static constexpr auto fields = WidgetKind<PressButton>::fields;
};

struct DirectionalButtonRecord {
    using Value = DirectionalButton;
    static constexpr std::string_view name = "struct variant WidgetRegistry::DirectionalButton";
    static constexpr std::string_view count =
        "struct variant WidgetRegistry::DirectionalButton with 1 element";
    static constexpr auto fields = WidgetKind<DirectionalButton>::fields;

    static bool read_field(Reader& r, std::size_t, DirectionalButton& out) {
        return read_u8(r, out.direction);
    }
    static constexpr std::array<std::string_view, 1> byte_refused = {};
    static void store_byte(std::size_t, std::uint8_t byte, DirectionalButton& out) {
        out.direction = byte;
    }
};

struct JoystickRecord {
    using Value = Joystick;
    static constexpr std::string_view name = "struct variant WidgetRegistry::Joystick";
    static constexpr std::string_view count =
        "struct variant WidgetRegistry::Joystick with 2 elements";
    static constexpr auto fields = WidgetKind<Joystick>::fields;

    static bool read_field(Reader& r, std::size_t index, Joystick& out) {
        if (index == 0) return read_record<CoordRecord>(r, out.delta);
        return read_f32(r, out.intensity);
    }
    static constexpr std::array<std::string_view, 2> byte_refused = {CoordRecord::name, ""};
    static void store_byte(std::size_t, std::uint8_t byte, Joystick& out) { out.intensity = byte; }
};

template <class Record>
bool read_payload(Reader& r, WidgetRegistry& out) {
    return read_record<Record>(r, out.emplace<typename Record::Value>());
}

// The record of each kind, in variant order.
using KindRecords = std::tuple<ClickButtonRecord, ToggleButtonRecord, ConfirmButtonRecord,
                               PressButtonRecord, DirectionalButtonRecord, JoystickRecord>;
static_assert(std::tuple_size_v<KindRecords> == widget_kind_count);

// The payload of the kind at `variant` (an index read_variant_key gave, so within range).
bool read_kind_payload(Reader& r, std::size_t variant, WidgetRegistry& out) {
    using Read = bool (*)(Reader&, WidgetRegistry&);
    static constexpr auto readers = []<std::size_t... Index>(std::index_sequence<Index...>) {
        static_assert((std::is_same_v<typename std::tuple_element_t<Index, KindRecords>::Value,
                                      std::variant_alternative_t<Index, WidgetRegistry>> &&
                       ...));
        return std::array<Read, widget_kind_count>{
            &read_payload<std::tuple_element_t<Index, KindRecords>>...};
    }(std::make_index_sequence<widget_kind_count>());
    return readers[variant](r, out);
}

// The union rule: a one-entry map from variant selector to the variant's record. Anything that
// is not a map is a bare variant key, and every variant here carries a record.
bool read_widget(Reader& r, WidgetRegistry& out) {
    std::uint8_t marker = 0;
    if (!r.peek(marker)) return false;
    std::size_t variant = 0;
    if (family(marker) != Family::Map) {
        if (!read_variant_key<widget_kind_names>(r, variant)) return false;
        return r.fail(
            invalid_type(Unexpected::of(Unexpected::Kind::UnitVariant), "struct variant"));
    }
    std::uint32_t entries = 0;
    if (!r.read_map_header(entries)) return false;
    if (!r.enter()) return false;
    if (entries != 1) return r.fail(incorrect_length(entries));
    if (!read_variant_key<widget_kind_names>(r, variant)) return false;
    if (!read_kind_payload(r, variant, out)) return false;
    r.leave();
    return true;
}

struct FrameRecord {
    using Value = Frame;
    static constexpr std::string_view name = "struct Frame";
    static constexpr std::string_view count = "struct Frame with 2 elements";
    static constexpr std::array<std::string_view, 2> fields = {"id", "data"};

    static bool read_field(Reader& r, std::size_t index, Frame& out) {
        if (index == 0) return read_u8(r, out.id);
        return read_widget(r, out.data);
    }
    static constexpr std::array<std::string_view, 2> byte_refused = {"", "enum WidgetRegistry"};
    static void store_byte(std::size_t, std::uint8_t byte, Frame& out) { out.id = byte; }
};

}  // namespace
}  // namespace detail

Result<ParsedFrame, DecodeError> Frame::parse(std::span<const std::uint8_t> bytes) {
    detail::Reader reader(bytes);
    ParsedFrame parsed;
    if (!detail::read_record<detail::FrameRecord>(reader, parsed.frame)) {
        return fail(reader.take_error());
    }
    parsed.consumed = reader.position();
    return parsed;
}

std::string Frame::action_key() const {
    return wire::action_key(id, name(data));
}

}  // namespace velto::wire
