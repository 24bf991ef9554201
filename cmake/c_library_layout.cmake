# Where `cmake --install` puts the C library, its headers and its CMake and pkg-config files:
#   system   include/, lib/ (GNUInstallDirs) under the prefix, for a C or C++ installation;
#   package  inside the quillmere_tools package directory, as a wheel carries them, so that
#            quillmere_tools.get_cmake_dir() and friends find them wherever pip put the wheel.
set(QUILLMERE_C_LAYOUT "" CACHE STRING
    "Install layout of the C library: 'system' or 'package' (empty: package for wheels)")
if(QUILLMERE_C_LAYOUT STREQUAL "")
  if(SKBUILD)
    set(QUILLMERE_C_LAYOUT package)
  else()
    set(QUILLMERE_C_LAYOUT system)
  endif()
endif()

if(QUILLMERE_C_LAYOUT STREQUAL "package")
  set(QUILLMERE_INSTALL_INCLUDEDIR quillmere_tools/include)
  set(QUILLMERE_INSTALL_LIBDIR quillmere_tools/lib)
elseif(QUILLMERE_C_LAYOUT STREQUAL "system")
  include(GNUInstallDirs)
  set(QUILLMERE_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR})
  set(QUILLMERE_INSTALL_LIBDIR ${CMAKE_INSTALL_LIBDIR})
else()
  message(FATAL_ERROR "QUILLMERE_C_LAYOUT must be 'system', 'package' or empty, got '${QUILLMERE_C_LAYOUT}'")
endif()
set(QUILLMERE_INSTALL_CMAKEDIR ${QUILLMERE_INSTALL_LIBDIR}/cmake/quillmere)
set(QUILLMERE_INSTALL_PKGCONFIGDIR ${QUILLMERE_INSTALL_LIBDIR}/pkgconfig)
