# The release: a ZIP with both programs, the stand-in companion library, the users' guide
# README.txt (made from docs/README.txt) and the example build script with the program it
# builds, with SHA256SUMS inside it and beside it. The developers' README.md stays out.
# The same commit gives the same bytes wherever and whenever it is built (see
# release/package.py). Made by `cmake --build --preset windows --target release`, in
# build/windows/release/.
find_program(RELEASE_PYTHON python3 REQUIRED)
set(RELEASE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-win32)
add_custom_target(release
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${CMAKE_BINARY_DIR}/release
  COMMAND ${RELEASE_PYTHON} ${PROJECT_SOURCE_DIR}/release/package.py
          --source ${PROJECT_SOURCE_DIR} --version ${PROJECT_VERSION}
          --guide ${PROJECT_SOURCE_DIR}/docs/README.txt --compiler ${CMAKE_CXX_COMPILER}
          ${CMAKE_BINARY_DIR}/release ${RELEASE_NAME}
          $<TARGET_FILE:buildtimer> $<TARGET_FILE:consoledemo> $<TARGET_FILE:vantrel>
          ${PROJECT_SOURCE_DIR}/examples/build.cmd ${PROJECT_SOURCE_DIR}/examples/hello.c
  DEPENDS buildtimer consoledemo vantrel ${PROJECT_SOURCE_DIR}/docs/README.txt
  VERBATIM)
