# One interface target carries the project's compile flags; every target of
# the project links it.
add_library(brevant_flags INTERFACE)
target_compile_options(brevant_flags INTERFACE -Wall -Wextra -Wno-unused-parameter)
target_include_directories(brevant_flags INTERFACE
  ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR}/generated)
if(BREVANT_SANITIZE)
  target_compile_options(brevant_flags INTERFACE
    -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(brevant_flags INTERFACE -fsanitize=address,undefined)
endif()

# brevant_library(NAME SOURCES... [LINKS ...]) - one static library per folder.
function(brevant_library name)
  cmake_parse_arguments(A "" "" "SOURCES;LINKS" ${ARGN})
  add_library(${name} STATIC ${A_SOURCES})
  target_link_libraries(${name} PUBLIC brevant_flags ${A_LINKS})
endfunction()
