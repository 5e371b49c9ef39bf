# The manual pages, the tool's bash completion and the Wireshark dissector,
# installed by the packages:
#
#   <prefix>/share/man/man8/pellix.8.gz                          component runtime
#   <prefix>/share/man/man1/pellix-cli.1.gz                      component runtime
#   <prefix>/share/bash-completion/completions/pellix-cli        component runtime
#   <prefix>/share/pellix/pellix.lua                             component runtime
#   <prefix>/share/man/man8/pellix-bridge.8.gz                   component bridge
#
# The hub takes no arguments, so its page is written by hand
# (packaging/man/pellix.8); the others are made at build time by Debian's
# help2man from the programs' --help, with the sections of
# packaging/man/*.h2m added. A cross-build runs the programs through its
# emulator; without help2man, or without a way to run them, there are no
# generated pages (and a warning says so).

set(pellix_man_dir ${PROJECT_BINARY_DIR}/man)
file(MAKE_DIRECTORY ${pellix_man_dir})
set(PELLIX_VERSION ${PROJECT_VERSION})
configure_file(${CMAKE_CURRENT_LIST_DIR}/man/pellix.8 ${pellix_man_dir}/pellix.8 @ONLY)

find_program(PELLIX_HELP2MAN help2man)
find_program(PELLIX_GZIP gzip)
set(pellix_run_built "")
if(CMAKE_CROSSCOMPILING)
  set(pellix_run_built "${CMAKE_CROSSCOMPILING_EMULATOR} ")
endif()
set(pellix_pages ${pellix_man_dir}/pellix.8)
if(PELLIX_HELP2MAN AND (NOT CMAKE_CROSSCOMPILING OR CMAKE_CROSSCOMPILING_EMULATOR))
  # help2man runs "PROGRAM --help" through the shell, so an emulator can
  # stand in front of the program in the one argument.
  function(pellix_help2man target section description)
    set(page ${pellix_man_dir}/${target}.${section})
    add_custom_command(OUTPUT ${page}
      COMMAND ${PELLIX_HELP2MAN} --no-info --section=${section} --version-string=${PROJECT_VERSION}
              --name=${description} --include=${CMAKE_CURRENT_LIST_DIR}/man/${target}.h2m --output=${page}
              "${pellix_run_built}$<TARGET_FILE:${target}>"
      DEPENDS ${target} ${CMAKE_CURRENT_LIST_DIR}/man/${target}.h2m
      COMMENT "Manual page ${target}(${section}) from its --help" VERBATIM)
    set(pellix_pages ${pellix_pages} ${page} PARENT_SCOPE)
  endfunction()
  pellix_help2man(pellix-cli 1 "the Pellix hub from a shell or a script")
  if(TARGET pellix-bridge)
    pellix_help2man(pellix-bridge 8 "bridge between the Pellix hub and an MQTT broker")
  endif()
else()
  message(WARNING "help2man not found (or the built programs cannot run here): "
                  "no manual pages for pellix-cli and pellix-bridge")
endif()

# Compressed as Debian installs manual pages.
set(pellix_compressed)
foreach(page IN LISTS pellix_pages)
  add_custom_command(OUTPUT ${page}.gz COMMAND ${PELLIX_GZIP} -9nkf ${page} DEPENDS ${page} VERBATIM)
  list(APPEND pellix_compressed ${page}.gz)
endforeach()
add_custom_target(pellix_manuals ALL DEPENDS ${pellix_compressed})

foreach(page IN LISTS pellix_compressed)
  get_filename_component(name ${page} NAME)
  string(REGEX REPLACE "^.*\\.([0-9])\\.gz$" "\\1" section ${name})
  set(component runtime)
  if(name MATCHES "^pellix-bridge")
    set(component bridge)
  endif()
  install(FILES ${page} DESTINATION share/man/man${section} COMPONENT ${component})
endforeach()
install(FILES ${CMAKE_CURRENT_LIST_DIR}/pellix-cli.bash-completion DESTINATION share/bash-completion/completions
        RENAME pellix-cli COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/contrib/wireshark/pellix.lua DESTINATION share/pellix COMPONENT runtime)
