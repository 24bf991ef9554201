#include "quillmere/src/python/class_support.hpp"

#include "quillmere/src/python/convert.hpp"

namespace quillmere::python {

bool convert_endpoint_arguments(PyObject* const* bound, std::size_t count, bool delayed_default,
                                EndpointArguments& out) noexcept {
  return to_text("name", bound[0], out.name) &&
         to_optional_u64("entry_length", bound[1], out.entry_length) &&
         to_optional_u64("entry_count", bound[2], out.entry_count) &&
         to_flag("delayed_connect", bound[3], delayed_default, out.delayed_connect) &&
         (count < 5 || to_flag("enable_zero_copy", bound[4], false, out.enable_zero_copy));
}

}  // namespace quillmere::python
