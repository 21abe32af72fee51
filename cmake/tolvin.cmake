# Small helpers shared by the subsystem CMake files.

# tolvin_core_library(name sources...): a portable library built by both presets.
# Every unit test links every core library, so each registers itself here.
function(tolvin_core_library name)
  add_library(${name} STATIC ${ARGN})
  set_property(GLOBAL APPEND PROPERTY TOLVIN_CORE_LIBS ${name})
endfunction()

# tolvin_embed_text(target input symbol [ASCII_STRICT]): turns a text file into a
# header <symbol>.h holding `inline constexpr wchar_t <symbol>[]`, regenerated when
# the file changes. ASCII_STRICT fails the build unless the file is printable ASCII
# with single line feeds.
function(tolvin_embed_text target input symbol)
  cmake_parse_arguments(PARSE_ARGV 3 EMBED "ASCII_STRICT" "" "")
  set(out ${CMAKE_BINARY_DIR}/generated/${symbol}.h)
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -DIN=${input} -DOUT=${out} -DSYMBOL=${symbol}
            -DASCII_STRICT=${EMBED_ASCII_STRICT} -P ${CMAKE_SOURCE_DIR}/cmake/embed.cmake
    DEPENDS ${input} ${CMAKE_SOURCE_DIR}/cmake/embed.cmake
    COMMENT "Embedding ${input}")
  target_sources(${target} PRIVATE ${out})
endfunction()

# tolvin_windows_program(name [GUI] sources...): a Windows program with a wide entry
# point, linked statically so that it imports only system DLLs. It is built with
# debug information, which is then split off into symbols/<file>.debug: the
# program keeps only that file's name and checksum, and is as small as a
# stripped one; scripts/symbolize reads the debug file.
function(tolvin_windows_program name)
  cmake_parse_arguments(PARSE_ARGV 1 PROG "GUI" "" "")
  if(PROG_GUI)
    add_executable(${name} WIN32 ${PROG_UNPARSED_ARGUMENTS})
  else()
    add_executable(${name} ${PROG_UNPARSED_ARGUMENTS})
  endif()
  target_link_options(${name} PRIVATE -municode)
  set(symbols ${CMAKE_BINARY_DIR}/symbols)
  set(debug ${symbols}/$<TARGET_FILE_NAME:${name}>.debug)
  add_custom_command(
    TARGET ${name} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E make_directory ${symbols}
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:${name}> ${debug}
    COMMAND ${CMAKE_OBJCOPY} --strip-all --add-gnu-debuglink=${debug} $<TARGET_FILE:${name}>
    VERBATIM)
endfunction()
