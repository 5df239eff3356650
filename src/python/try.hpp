// VELTO_TRY: unwraps a Result or returns its error from the enclosing function, so that the
// binding's entry points read as the straight sequence of steps they are.
#pragma once

#include <utility>

#include "common/result.hpp"

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
