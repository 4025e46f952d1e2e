# What `cmake --install` of the native build puts below the prefix, and the
# Debian package made of it (CPack):
#
#   bin/qpack
#   share/qunpack/qunpack.exe, share/qunpack/qunpack-uninstall.exe
#   share/man/man1/qpack.1
#   lib/cmake/qunpack/      find_package(qunpack): qunpack::qpack and
#                           qunpack_add_installer()
#
# The two Windows programs come from the Win32 build tree, which this build
# does not make: QUNPACK_WIN32_BUILD_DIR names it (build/win32 of the
# presets; `make install` and `make deb` build both trees first). Nothing
# installed names a path of either tree: qpack finds its programs from its
# own place, the CMake files from theirs.
set(QUNPACK_WIN32_BUILD_DIR ${CMAKE_SOURCE_DIR}/build/win32 CACHE PATH
  "The Win32 build tree whose stub and uninstaller stub are installed with qpack")
set(QUNPACK_INSTALLED_PROGRAMS qunpack.exe qunpack-uninstall.exe)

# In this build tree, qpack's programs are where an installed qpack has
# them: share/qunpack beside bin, here links to the Win32 build's own.
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/share/qunpack)
foreach(program ${QUNPACK_INSTALLED_PROGRAMS})
  file(CREATE_LINK ${QUNPACK_WIN32_BUILD_DIR}/bin/${program}
    ${CMAKE_BINARY_DIR}/share/qunpack/${program} SYMBOLIC)
endforeach()

# The man page, made from qpack's own --help.
set(QUNPACK_MAN_PAGE ${CMAKE_BINARY_DIR}/share/man/man1/qpack.1)
add_custom_command(OUTPUT ${QUNPACK_MAN_PAGE}
  COMMAND ${CMAKE_COMMAND} -DQPACK=$<TARGET_FILE:qpack> -DVERSION=${PROJECT_VERSION}
    -DOUTPUT=${QUNPACK_MAN_PAGE} -P ${CMAKE_CURRENT_LIST_DIR}/qpack_man_page.cmake
  DEPENDS qpack ${CMAKE_CURRENT_LIST_DIR}/qpack_man_page.cmake
  COMMENT "Writing the man page from qpack --help" VERBATIM)
add_custom_target(qpack_man_page ALL DEPENDS ${QUNPACK_MAN_PAGE})

install(TARGETS qpack EXPORT qunpackTargets RUNTIME DESTINATION bin)
install(CODE "
  foreach(program ${QUNPACK_INSTALLED_PROGRAMS})
    if(NOT EXISTS \"${QUNPACK_WIN32_BUILD_DIR}/bin/\${program}\")
      message(FATAL_ERROR \"no \${program} in ${QUNPACK_WIN32_BUILD_DIR}/bin: build the win32 \"
        \"preset first (make win32), or point QUNPACK_WIN32_BUILD_DIR at a Win32 build\")
    endif()
  endforeach()")
list(TRANSFORM QUNPACK_INSTALLED_PROGRAMS PREPEND ${QUNPACK_WIN32_BUILD_DIR}/bin/
  OUTPUT_VARIABLE QUNPACK_WIN32_PROGRAM_FILES)
install(FILES ${QUNPACK_WIN32_PROGRAM_FILES} DESTINATION share/qunpack)
install(FILES ${QUNPACK_MAN_PAGE} DESTINATION share/man/man1)

# The CMake package: relocatable, every path relative to the file itself.
include(CMakePackageConfigHelpers)
set(QUNPACK_CMAKE_DIR lib/cmake/qunpack)
set(QUNPACK_DATA_DIR share/qunpack)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/package/qunpackConfig.cmake.in
  ${CMAKE_BINARY_DIR}/package/qunpackConfig.cmake
  INSTALL_DESTINATION ${QUNPACK_CMAKE_DIR} PATH_VARS QUNPACK_DATA_DIR)
# The package holds a build-machine tool: a 32-bit (cross) build uses it too.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/qunpackConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(EXPORT qunpackTargets NAMESPACE qunpack:: DESTINATION ${QUNPACK_CMAKE_DIR})
install(FILES ${CMAKE_BINARY_DIR}/package/qunpackConfig.cmake
  ${CMAKE_BINARY_DIR}/package/qunpackConfigVersion.cmake
  ${CMAKE_CURRENT_LIST_DIR}/package/qunpackAddInstaller.cmake
  ${CMAKE_CURRENT_LIST_DIR}/package/qunpackPayloadScan.cmake
  DESTINATION ${QUNPACK_CMAKE_DIR})

# The Debian package (`make deb`): qunpack_<version>_amd64.deb, installed
# below /usr, its library dependencies (zlib, libdeflate, the C and C++
# runtimes) found by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qunpack)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "qunpack")
set(CPACK_PACKAGE_CONTACT "qunpack maintainers <qunpack@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "small self-extracting installers for 32-bit Windows, and qpack to build them")
set(CPACK_PACKAGE_DESCRIPTION "qpack builds, lists, verifies, shows and extracts qunpack
installers: one small Windows program carrying its install package. The
package holds qpack, the installer and uninstaller programs it builds from,
its man page and a CMake package (find_package(qunpack)) with
qunpack_add_installer() for vendors' builds.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
