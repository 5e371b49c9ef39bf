# Warning and sanitizer settings shared by every target of the project.

function(pellix_enable_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Woverloaded-virtual)
  if(PELLIX_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

function(pellix_enable_sanitizers target)
  if(PELLIX_SANITIZE)
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer
                                             -fno-sanitize-recover=undefined)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
endfunction()

function(pellix_target_defaults target)
  pellix_enable_warnings(${target})
  pellix_enable_sanitizers(${target})
endfunction()

# One static library per subsystem folder.
function(pellix_add_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  pellix_target_defaults(${name})
endfunction()
