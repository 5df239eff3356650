// A value-or-error result: the one way fallible operations report failure below the binding.
#pragma once

#include <cassert>
#include <type_traits>
#include <utility>
#include <variant>

namespace velto {

// Wraps an error value so that `Result<T, E>` can be built from it even when T and E could
// convert into each other.
template <class E>
struct Failure {
    E error;
};

template <class E>
Failure<std::decay_t<E>> fail(E&& error) {
    return Failure<std::decay_t<E>>{std::forward<E>(error)};
}

// Holds either a T (success) or an E (the error). Accessing the wrong side is a broken
// invariant of the caller, checked by assertions only.
template <class T, class E>
class [[nodiscard]] Result {
  public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    template <class F>
    Result(Failure<F> failure) requires std::is_constructible_v<E, F&&>
        : state_(std::in_place_index<1>, std::move(failure.error)) {}

    bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & {
        assert(ok());
        return std::get<0>(state_);
    }
    const T& value() const& {
        assert(ok());
        return std::get<0>(state_);
    }
    T&& value() && {
        assert(ok());
        return std::get<0>(std::move(state_));
    }
    E& error() & {
        assert(!ok());
        return std::get<1>(state_);
    }
    const E& error() const& {
        assert(!ok());
        return std::get<1>(state_);
    }
    E&& error() && {
        assert(!ok());
        return std::get<1>(std::move(state_));
    }

    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

  private:
    std::variant<T, E> state_;
};

// Success without a value.
struct Unit {};

template <class E>
using Status = Result<Unit, E>;

inline constexpr Unit ok_unit{};

}  // namespace velto

// VELTO_TRY: unwraps a Result or returns its error from the enclosing function, so that code
// with several fallible steps reads as the straight sequence of steps it is.
#define VELTO_TRY_CONCAT_INNER(a, b) a##b
#define VELTO_TRY_CONCAT(a, b) VELTO_TRY_CONCAT_INNER(a, b)

// `VELTO_TRY(auto x, expression);` declares x from the success value.
#define VELTO_TRY(declaration, expression) \
    VELTO_TRY_IMPL(declaration, expression, VELTO_TRY_CONCAT(velto_try_result_, __LINE__))

#define VELTO_TRY_IMPL(declaration, expression, result)                \
    auto result = (expression);                                        \
    if (!result.ok()) return ::velto::fail(std::move(result).error()); \
    declaration = std::move(result).value()

// For a Status (no value to keep).
#define VELTO_CHECK(expression) \
    VELTO_CHECK_IMPL(expression, VELTO_TRY_CONCAT(velto_check_result_, __LINE__))

#define VELTO_CHECK_IMPL(expression, result) \
    auto result = (expression);              \
    if (!result.ok()) return ::velto::fail(std::move(result).error())
