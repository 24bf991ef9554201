// A channel named by a Python str, mapped by name without a role: the one way every function
// of quillmere_tools._native that takes a channel name opens it.
#pragma once

#include <Python.h>

#include <optional>

#include "tools/src/channel_view.hpp"

namespace quillmere_tools::python {

// The view; an empty inner optional when no channel of that name exists (no exception); an
// empty outer one with TypeError (not a str) or the channel's error set.
std::optional<std::optional<ChannelView>> find_channel_view(PyObject* name);

// The same, but a missing channel is FileNotFoundError naming it.
std::optional<ChannelView> open_channel_view(PyObject* name);

}  // namespace quillmere_tools::python
