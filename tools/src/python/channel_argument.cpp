#include "tools/src/python/channel_argument.hpp"

#include <string_view>
#include <utility>

#include "tools/src/python/support.hpp"

namespace quillmere_tools::python {

std::optional<std::optional<ChannelView>> find_channel_view(PyObject* name) {
  if (!PyUnicode_Check(name)) {
    PyErr_SetString(PyExc_TypeError, "channel name must be a str");
    return std::nullopt;
  }
  Py_ssize_t length = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &length);
  if (text == nullptr) return std::nullopt;
  auto view = ChannelView::open(std::string_view(text, static_cast<std::size_t>(length)));
  if (!view) {
    raise_channel_error(view.error());
    return std::nullopt;
  }
  return std::move(*view);
}

std::optional<ChannelView> open_channel_view(PyObject* name) {
  auto found = find_channel_view(name);
  if (!found) return std::nullopt;
  if (!*found) PyErr_Format(PyExc_FileNotFoundError, "no channel named %R", name);
  return std::move(*found);
}

}  // namespace quillmere_tools::python
