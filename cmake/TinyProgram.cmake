# add_tiny_program(name SOURCES ... [ICON file.ico] [LIBRARIES ...])
# A console program without C runtime: own entry point (mainCRTStartup, ending in
# ExitProcess), size-optimised whole-program build, one merged read-only section. No link
# time is written into the image, so the same sources always give the same bytes; and it is
# marked terminal-server aware, so that Remote Desktop hosts apply no legacy shims.
set(TINY_COMPILE_OPTIONS
    -Os -Wall -Wextra -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-builtin
    -fno-stack-protector -ffunction-sections -flto)
set(TINY_LINK_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/tiny-pe.ld)
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  # The 64-bit test twins: no symbol underscore, and loaded where the 32-bit programs are,
  # so that traces of both show the same return addresses.
  set(TINY_ENTRY mainCRTStartup)
  set(TINY_ARCH_LINK_OPTIONS -Wl,--image-base,0x400000)
else()
  list(APPEND TINY_COMPILE_OPTIONS -mpreferred-stack-boundary=2)
  set(TINY_ENTRY _mainCRTStartup)
  set(TINY_ARCH_LINK_OPTIONS)
endif()

# tiny_core(target): compiles a pure core library the way the programs that link it are.
function(tiny_core target)
  target_compile_options(${target} PRIVATE ${TINY_COMPILE_OPTIONS})
endfunction()

function(add_tiny_program name)
  cmake_parse_arguments(ARG "" "ICON" "SOURCES;LIBRARIES" ${ARGN})
  set(sources ${ARG_SOURCES})
  if(ARG_ICON)
    # The icon group gets the number of the default application icon.
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${name}.rc)
    file(WRITE ${rc} "32512 ICON \"${ARG_ICON}\"\n")
    set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${ARG_ICON})
    list(APPEND sources ${rc})
  endif()
  add_executable(${name} ${sources})
  target_compile_features(${name} PRIVATE cxx_std_17)
  target_compile_options(${name} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${TINY_COMPILE_OPTIONS}>)
  target_link_options(${name} PRIVATE
      -nostdlib -Os -flto -s -Wl,--gc-sections -Wl,--disable-reloc-section
      -Wl,--no-insert-timestamp -Wl,--tsaware
      -Wl,-e,${TINY_ENTRY} -Wl,-T,${TINY_LINK_SCRIPT} ${TINY_ARCH_LINK_OPTIONS})
  set_target_properties(${name} PROPERTIES LINK_DEPENDS ${TINY_LINK_SCRIPT})
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES})
endfunction()
