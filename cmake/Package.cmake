# The release package: a ZIP with both programs, the stand-in companion library, the README
# and the example build script with the program it builds. Made by `cpack` in the build.
install(TARGETS buildtimer consoledemo vantrel RUNTIME DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/examples/build.cmd
              ${PROJECT_SOURCE_DIR}/examples/hello.c DESTINATION .)
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME consoletools)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_SYSTEM_NAME win32)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)
