// The incoming message: a Frame, its decoding and its action key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "common/result.hpp"
#include "wire/values.hpp"

namespace velto::wire {

// Why a decode failed. `Incomplete` means the input ended before the value did: more bytes may
// still complete it, so a stream reader keeps them and waits. Every other failure is `Invalid`
// and no amount of further input mends it.
struct DecodeError {
    enum class Kind { Incomplete, Invalid };
    Kind kind;
    std::string text;  // the decoder's message, exact text for the protocol's rules

    bool incomplete() const noexcept { return kind == Kind::Incomplete; }
};

struct ParsedFrame;

// An incoming message: the widget id and the widget's value.
struct Frame {
    std::uint8_t id = 0;
    WidgetRegistry data;

    // Decodes one Frame from the start of `bytes`. On success also reports how many bytes the
    // frame used; bytes after it are not looked at. Never reads outside `bytes`, never recurses
    // on input nesting, never touches the interpreter.
    static Result<ParsedFrame, DecodeError> parse(std::span<const std::uint8_t> bytes);

    // The frame's action key: widget kind name, "_", decimal id (ClickButton_3).
    std::string action_key() const;
};

struct ParsedFrame {
    Frame frame;
    std::size_t consumed = 0;
};

}  // namespace velto::wire
