# Manual pages of ip232-term and ip232-peer (Linux builds): made at build
# time by help2man from each program's own --help and --version, so a page
# cannot say other than its program, and from docs/man/PROGRAM.h2m, which
# adds the sections a help text has no place for (EXAMPLES, SEE ALSO). The
# Windows build has none.
#
# help2man is required when the tests are built (the layout test checks the
# pages); a build without tests and without help2man installs no pages.

# IP232_INSTALL_MANDIR: where the pages go, empty when there are none.
set(IP232_MAN_PAGES "")
set(IP232_INSTALL_MANDIR "")
if(WIN32 OR CMAKE_CROSSCOMPILING)
  return()
endif()
find_program(IP232_HELP2MAN help2man)
if(NOT IP232_HELP2MAN)
  if(IP232_BUILD_TESTS)
    message(FATAL_ERROR "help2man not found: it makes the manual pages "
      "(apt-get install help2man, or configure with -DIP232_BUILD_TESTS=OFF)")
  endif()
  message(STATUS "help2man not found: no manual pages")
  return()
endif()

set(ip232-term_man_name
  "an emulated machine whose serial port the ip232-serial extension bridges to a TCP server")
set(ip232-peer_man_name
  "a loopback server that echoes what the ip232-serial bridge sends")
foreach(tool ip232-term ip232-peer)
  if(NOT TARGET ${tool})
    continue()
  endif()
  set(page ${CMAKE_BINARY_DIR}/man/${tool}.1)
  set(include ${PROJECT_SOURCE_DIR}/docs/man/${tool}.h2m)
  add_custom_command(OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND}
      -DHELP2MAN=${IP232_HELP2MAN}
      -DPROGRAM=$<TARGET_FILE:${tool}>
      -DNAME=${${tool}_man_name}
      -DINCLUDE=${include}
      -DOUTPUT=${page}
      -P ${PROJECT_SOURCE_DIR}/cmake/generate_man_page.cmake
    DEPENDS ${tool} ${include} ${PROJECT_SOURCE_DIR}/cmake/generate_man_page.cmake
    COMMENT "Manual page ${tool}.1"
    VERBATIM)
  list(APPEND IP232_MAN_PAGES ${page})
endforeach()
add_custom_target(ip232-man-pages ALL DEPENDS ${IP232_MAN_PAGES})
set(IP232_INSTALL_MANDIR ${CMAKE_INSTALL_MANDIR})
install(FILES ${IP232_MAN_PAGES} DESTINATION ${IP232_INSTALL_MANDIR}/man1)
