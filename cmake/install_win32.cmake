# The Windows zip (`make dist-windows`, CPack): qpack.exe with the stub and
# the uninstaller stub beside it, where qpack.exe looks for them, and the
# README. `cmake --install` of this tree lays out the same folder.
install(TARGETS qpack qunpack qunpack-uninstall RUNTIME DESTINATION .)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME qunpack)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME qunpack-${PROJECT_VERSION}-win32)
include(CPack)
