# Refuses a compiler or standard library too old for the C++23 this code uses, at configure
# time and in one line, instead of a wall of template errors halfway through the build.
set(_quillmere_found "${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION} (${CMAKE_CXX_COMPILER})")
set(_quillmere_needed "quillmere needs a C++23 compiler, g++ 12 or clang 16 or newer")
if((CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 12)
   OR (CMAKE_CXX_COMPILER_ID STREQUAL "Clang" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 16))
  # The leading space keeps CMake from wrapping the line.
  message(FATAL_ERROR " ${_quillmere_needed}; found ${_quillmere_found}")
endif()

# A new enough compiler can still come with a library that lacks what we use (clang before 19
# with the GNU library, for one): std::expected and std::atomic_ref.
include(CheckCXXSourceCompiles)
check_cxx_source_compiles([[
#include <atomic>
#include <expected>
int main() {
  long word = 0;
  std::atomic_ref<long>(word).store(1, std::memory_order_release);
  std::expected<long, int> value = word;
  return value ? 0 : 1;
}
]] QUILLMERE_CXX23_LIBRARY)
if(NOT QUILLMERE_CXX23_LIBRARY)
  message(FATAL_ERROR
    " ${_quillmere_needed}; found ${_quillmere_found}, whose standard library lacks std::expected or std::atomic_ref")
endif()
