// Argument binding: matching a call's positional and keyword arguments to a callable's
// parameters (each by position or by keyword, required or None when left out), with the
// TypeError texts every callable of the module shares.
#pragma once

#include "python/python.hpp"

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "common/result.hpp"
#include "python/errors.hpp"
#include "python/ref.hpp"

namespace velto::python {

// The arguments of one call, in either of the interpreter's two calling conventions.
struct CallArguments {
    PyObject* const* positional = nullptr;
    Py_ssize_t positional_count = 0;
    PyObject* keyword_names = nullptr;  // vectorcall: tuple of str, values after the positional
    PyObject* keyword_dict = nullptr;   // tuple-and-dict convention: dict or null

    static CallArguments vectorcall(PyObject* const* args, Py_ssize_t nargsf,
                                    PyObject* kwnames) noexcept {
        return {args, PyVectorcall_NARGS(nargsf), kwnames, nullptr};
    }
    static CallArguments tuple_and_dict(PyObject* args, PyObject* kwargs) noexcept {
        return {PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args), nullptr, kwargs};
    }
};

// A callable's name as binding errors show it ("ComSocketServer.on()", "on()"), its parameter
// names in order, and how many of them, from the first, are required: the others may be left
// out and are None then.
template <std::size_t N>
struct Signature {
    std::string_view display_name;
    std::array<std::string_view, N> parameters;
    std::size_t required = N;
};

// Fills `bound[i]` with the argument given for parameter i (borrowed for the call's duration),
// None for an optional parameter left out, or fails with the binding TypeError.
Status<OperationError> bind_arguments(std::string_view display_name,
                                      std::span<const std::string_view> parameters,
                                      std::size_t required, const CallArguments& arguments,
                                      std::span<Handle> bound);

template <std::size_t N>
Result<std::array<Handle, N>, OperationError> bind(const Signature<N>& signature,
                                                   const CallArguments& arguments) {
    std::array<Handle, N> bound{};
    auto status = bind_arguments(signature.display_name, signature.parameters,
                                 signature.required, arguments, bound);
    if (!status.ok()) return fail(std::move(status).error());
    return bound;
}

}  // namespace velto::python
