# add_tiny_program(name SOURCES ... [ICON file.ico] [LIBRARIES ...])
# A console program without C runtime: own entry point (mainCRTStartup, ending in
# ExitProcess), size-optimised whole-program build, three sections (code; read-only data with
# the imports, the icon and the relocations; zero-filled data). Hardened as Windows' own
# linker builds images by default: ASLR with a base relocation table, NX, and no SEH
# handlers (NO_SEH), so that binary analyzers and Windows' mandatory ASLR accept it. No link
# time is written into the image, so the same sources always give the same bytes; and it is
# marked terminal-server aware, so that Remote Desktop hosts apply no legacy shims.
set(TINY_COMPILE_OPTIONS
    -Os ${STRICT_WARNINGS} -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-builtin
    -fno-stack-protector -ffunction-sections -flto)
set(TINY_LINK_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/tiny-pe.ld)
set(TINY_DIRECTORIES ${CMAKE_CURRENT_LIST_DIR}/pe_directories.py)
find_program(TINY_PYTHON python3 REQUIRED)
list(APPEND TINY_COMPILE_OPTIONS -mpreferred-stack-boundary=2)
# The hardening of Windows' own linker's defaults, for the programs and the companion library:
# ASLR with a base relocation table, NX, and no SEH handlers.
set(TINY_HARDENING -Wl,--dynamicbase -Wl,--enable-reloc-section -Wl,--nxcompat -Wl,--no-seh)

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
  set(map ${CMAKE_CURRENT_BINARY_DIR}/${name}.map)
  target_link_options(${name} PRIVATE
      -nostdlib -Os -flto -s -Wl,--gc-sections ${TINY_HARDENING} -Wl,--tsaware
      -Wl,--no-insert-timestamp -Wl,-Map,${map}
      -Wl,-e,_mainCRTStartup -Wl,-T,${TINY_LINK_SCRIPT})
  set_target_properties(${name} PROPERTIES LINK_DEPENDS "${TINY_LINK_SCRIPT};${TINY_DIRECTORIES}")
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES})
  # The resource and relocation directories, which ld leaves empty inside .rdata.
  add_custom_command(TARGET ${name} POST_BUILD
      COMMAND ${TINY_PYTHON} ${TINY_DIRECTORIES} $<TARGET_FILE:${name}> ${map} VERBATIM)
endfunction()
