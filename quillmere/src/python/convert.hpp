// Conversion of the constructor and method arguments, with the module's TypeError texts:
// "argument '{}': {}", the reason for a refused object being
// "'{}' object is not an instance of '{}'".
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillmere::python {

// A new reference to a str (or nullptr after a failure), as UTF-8 for another exception's
// message; "?" when there is none. Takes over the reference and clears any error. Throws
// std::bad_alloc when out of memory: call it where that becomes MemoryError (raise_composed).
std::string message_text(PyObject* text);

// The name of `object`'s type ("int", "ndarray", ...); "?" if even that fails. Throws as above.
std::string type_name(PyObject* object);

// TypeError "argument '<argument>': <reason>".
void raise_argument_error(const char* argument, std::string_view reason) noexcept;
// TypeError "argument '<argument>': '<type of object>' object is not an instance of '<expected>'".
void raise_not_instance(const char* argument, PyObject* object, const char* expected) noexcept;

// A `str`, as UTF-8. The view lives as long as `object`. False with an exception set.
bool to_text(const char* argument, PyObject* object, std::string_view& out) noexcept;

// A non-negative integer that fits in 64 bits: an int as it is, anything else through its
// __index__. A TypeError names `argument`; out-of-range values keep the interpreter's own
// OverflowError; any other exception raised by __index__ propagates unchanged.
bool to_u64(const char* argument, PyObject* object, std::uint64_t& out) noexcept;

// As to_u64, with an absent argument or None giving nullopt.
bool to_optional_u64(const char* argument, PyObject* object,
                     std::optional<std::uint64_t>& out) noexcept;

// A `bool` or a NumPy boolean scalar (None refused); an absent argument gives `absent`.
bool to_flag(const char* argument, PyObject* object, bool absent, bool& out) noexcept;

}  // namespace quillmere::python
