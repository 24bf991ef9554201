# Installs libquillmere.so.1, the headers, the CMake package (find_package(quillmere 1.0)
# giving quillmere::quillmere) and quillmere.pc. Every path inside the package and .pc files is
# relative to the file itself, so an installed tree or wheel can be moved anywhere.
include(CMakePackageConfigHelpers)

install(TARGETS quillmere_c EXPORT quillmereTargets
        LIBRARY DESTINATION ${QUILLMERE_INSTALL_LIBDIR} NAMELINK_SKIP)
install(DIRECTORY "${PROJECT_SOURCE_DIR}/include/quillmere"
        DESTINATION ${QUILLMERE_INSTALL_INCLUDEDIR})
install(EXPORT quillmereTargets NAMESPACE quillmere::
        DESTINATION ${QUILLMERE_INSTALL_CMAKEDIR})

configure_package_config_file("${CMAKE_CURRENT_LIST_DIR}/quillmereConfig.cmake.in"
  "${PROJECT_BINARY_DIR}/quillmereConfig.cmake"
  INSTALL_DESTINATION ${QUILLMERE_INSTALL_CMAKEDIR})
write_basic_package_version_file("${PROJECT_BINARY_DIR}/quillmereConfigVersion.cmake"
  COMPATIBILITY SameMajorVersion)
install(FILES "${PROJECT_BINARY_DIR}/quillmereConfig.cmake"
              "${PROJECT_BINARY_DIR}/quillmereConfigVersion.cmake"
        DESTINATION ${QUILLMERE_INSTALL_CMAKEDIR})

# pkg-config: ${pcfiledir} makes the prefix relative to the .pc file. The library is named by
# its SONAME (no libquillmere.so link is installed).
file(RELATIVE_PATH QUILLMERE_PC_TO_PREFIX "/prefix/${QUILLMERE_INSTALL_PKGCONFIGDIR}" "/prefix")
configure_file("${CMAKE_CURRENT_LIST_DIR}/quillmere.pc.in" "${PROJECT_BINARY_DIR}/quillmere.pc"
               @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/quillmere.pc" DESTINATION ${QUILLMERE_INSTALL_PKGCONFIGDIR})
