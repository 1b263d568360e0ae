# Install tree and release packages.
#
# A host finds the module in its extensions folder; the tools (ip232-term,
# ip232-peer) live apart from it, and the stand-in of the host's API library
# goes only where ip232-term finds it, never where a host or its extensions
# would pick it up.
#
#   Windows (install tree and ZIP)      Linux (GNU install directories)
#   extensions/ip232-serial.dll         LIBDIR/quorvex/extensions/ip232-serial.so
#   tools/ip232-term.exe                BINDIR/ip232-term
#   tools/quorvex_extension_api.dll     LIBDIR/ip232-serial/libquorvex_extension_api.so
#   tools/ip232-peer.exe                BINDIR/ip232-peer
#   README.md, docs/*.md                DOCDIR/README.md, DOCDIR/docs/*.md
#   (README.md without its source-tree parts)
#                                       MANDIR/man1/ip232-term.1, ip232-peer.1
#
# The pages in docs/ sit beside README.md as in the source tree, so the
# README's links to docs/ and theirs back to ../README.md work installed.
#
# On Linux ip232-term reaches its private copy of the stand-in through its
# RUNPATH; the module has none, since the host has already loaded its own
# API library by the time it opens an extension.

if(WIN32)
  set(IP232_INSTALL_EXTENSIONDIR "extensions")
  set(IP232_INSTALL_TOOLSDIR "tools")
  set(IP232_INSTALL_STANDINDIR "tools")
  set(IP232_INSTALL_DOCDIR ".")
else()
  set(IP232_INSTALL_EXTENSIONDIR "${CMAKE_INSTALL_LIBDIR}/quorvex/extensions")
  set(IP232_INSTALL_TOOLSDIR "${CMAKE_INSTALL_BINDIR}")
  set(IP232_INSTALL_STANDINDIR "${CMAKE_INSTALL_LIBDIR}/ip232-serial")
  set(IP232_INSTALL_DOCDIR "${CMAKE_INSTALL_DOCDIR}")
endif()

install(TARGETS ip232-serial
  RUNTIME DESTINATION ${IP232_INSTALL_EXTENSIONDIR}
  LIBRARY DESTINATION ${IP232_INSTALL_EXTENSIONDIR})
# Nothing links against the stand-in once installed: its import library
# (Windows) stays out of the tree.
install(TARGETS quorvex_extension_api
  RUNTIME DESTINATION ${IP232_INSTALL_STANDINDIR}
  LIBRARY DESTINATION ${IP232_INSTALL_STANDINDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} EXCLUDE_FROM_ALL)
foreach(tool ip232-term ip232-peer)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${IP232_INSTALL_TOOLSDIR})
  endif()
endforeach()
# The README as installed: the repository's, less what holds in the source
# tree only (building, build/ paths, the benchmark scripts), which stands
# between a line "<!-- source tree -->" and a line "<!-- /source tree -->".
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/README.md)
file(READ ${PROJECT_SOURCE_DIR}/README.md readme)
set(installed_readme "")
while(TRUE)
  string(FIND "${readme}" "<!-- source tree -->\n" begin)
  if(begin EQUAL -1)
    break()
  endif()
  string(SUBSTRING "${readme}" 0 ${begin} kept)
  string(APPEND installed_readme "${kept}")
  string(SUBSTRING "${readme}" ${begin} -1 readme)
  set(end_marker "<!-- /source tree -->\n")
  string(FIND "${readme}" "${end_marker}" end)
  if(end EQUAL -1)
    message(FATAL_ERROR "README.md: a \"<!-- source tree -->\" line without "
      "its \"<!-- /source tree -->\"")
  endif()
  string(LENGTH "${end_marker}" end_length)
  math(EXPR rest "${end} + ${end_length}")
  string(SUBSTRING "${readme}" ${rest} -1 readme)
endwhile()
string(APPEND installed_readme "${readme}")
file(WRITE ${CMAKE_BINARY_DIR}/installed-docs/README.md "${installed_readme}")
install(FILES ${CMAKE_BINARY_DIR}/installed-docs/README.md
  DESTINATION ${IP232_INSTALL_DOCDIR})
set(IP232_DOC_PAGES development host-guide performance reference reliability)
list(TRANSFORM IP232_DOC_PAGES PREPEND docs/ OUTPUT_VARIABLE doc_files)
list(TRANSFORM doc_files APPEND .md)
install(FILES ${doc_files} DESTINATION ${IP232_INSTALL_DOCDIR}/docs)
include(${CMAKE_CURRENT_LIST_DIR}/man_pages.cmake)
# The MSVC-ABI build links parts of the MSVC C++ library into every binary
# (its static sources): their licence travels with them.
set(IP232_LICENSE_FILES "")
if(IP232_MSVC_RUNTIME)
  set(IP232_LICENSE_FILES licenses/msvc-stl/LICENSE.txt licenses/msvc-stl/NOTICE.txt)
  install(FILES ${IP232_MSVC_STL_DIR}/LICENSE.txt ${IP232_MSVC_STL_DIR}/NOTICE.txt
    DESTINATION licenses/msvc-stl)
endif()

if(NOT WIN32)
  set_target_properties(ip232-serial PROPERTIES INSTALL_RPATH "")
  set_target_properties(quorvex_extension_api PROPERTIES INSTALL_RPATH "")
  if(TARGET ip232-term)
    file(RELATIVE_PATH standin_from_tools
      /${IP232_INSTALL_TOOLSDIR} /${IP232_INSTALL_STANDINDIR})
    set_target_properties(ip232-term PROPERTIES
      INSTALL_RPATH "$ORIGIN/${standin_from_tools}")
  endif()
  if(TARGET ip232-peer)
    set_target_properties(ip232-peer PROPERTIES INSTALL_RPATH "")
  endif()
endif()

# Release packages: ip232-serial-<version>-<system>-<processor>.zip on
# Windows, .tar.gz on Linux, each holding one folder of the same name with
# the install tree inside; binaries stripped.
set(CPACK_PACKAGE_NAME "ip232-serial")
set(CPACK_PACKAGE_VENDOR "ip232-serial developers")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
if(WIN32)
  set(CPACK_GENERATOR "ZIP")
else()
  set(CPACK_GENERATOR "TGZ")
endif()
# The Windows package a host built with MSVC needs is the default one; the
# MinGW build's carries "-mingw".
set(IP232_PACKAGE_FILE_NAME
  "ip232-serial-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}")
if(WIN32 AND NOT MSVC)
  string(APPEND IP232_PACKAGE_FILE_NAME "-mingw")
endif()
set(CPACK_PACKAGE_FILE_NAME "${IP232_PACKAGE_FILE_NAME}")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)

# The layout test: installs into a scratch prefix, builds the package, and
# checks both listings, the version the module carries, and that the
# installed ip232-term loads the installed module.
if(IP232_BUILD_TESTS)
  set(layout_emulator "")
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    set(layout_emulator "${CMAKE_CROSSCOMPILING_EMULATOR}")
  endif()
  string(JOIN "," doc_pages_joined ${IP232_DOC_PAGES})
  add_test(NAME Packaging.InstallAndPackageLayout
    COMMAND ${CMAKE_COMMAND}
      -DBUILD_DIR=${CMAKE_BINARY_DIR}
      -DWINDOWS=${WIN32}
      -DVERSION=${PROJECT_VERSION}
      -DPACKAGE=${IP232_PACKAGE_FILE_NAME}
      -DEXTENSIONDIR=${IP232_INSTALL_EXTENSIONDIR}
      -DTOOLSDIR=${IP232_INSTALL_TOOLSDIR}
      -DSTANDINDIR=${IP232_INSTALL_STANDINDIR}
      -DDOCDIR=${IP232_INSTALL_DOCDIR}
      -DDOC_PAGES=${doc_pages_joined}
      "-DEXTRA_FILES=${IP232_LICENSE_FILES}"
      -DMANDIR=${IP232_INSTALL_MANDIR}
      -DOBJDUMP=${CMAKE_OBJDUMP}
      -DEMULATOR=${layout_emulator}
      -P ${PROJECT_SOURCE_DIR}/cmake/check_install_layout.cmake)
  set_tests_properties(Packaging.InstallAndPackageLayout PROPERTIES
    TIMEOUT 300 RUN_SERIAL TRUE)
endif()
