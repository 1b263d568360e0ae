# Installs the build into a scratch prefix and packs it, then checks:
# the file list of both against the layout (module apart from the tools and
# the stand-in), that the package holds one folder named after it, the
# version the module carries, that the installed documents' links lead to
# installed files, that the installed README names no source-tree path, the
# manual pages (Linux), and that the installed ip232-term loads the
# installed module.
# -DBUILD_DIR -DWINDOWS -DVERSION -DPACKAGE -DEXTENSIONDIR -DTOOLSDIR
# -DSTANDINDIR -DDOCDIR -DDOC_PAGES (names, comma-separated) -DMANDIR (empty
# without manual pages) -DOBJDUMP [-DEMULATOR] [-DEXTRA_FILES=list of other
# installed files, such as licence notices]
cmake_minimum_required(VERSION 3.25)

set(scratch ${BUILD_DIR}/layout-test)
file(REMOVE_RECURSE ${scratch})
set(prefix ${scratch}/prefix)

if(WINDOWS)
  set(expected
    ${EXTENSIONDIR}/ip232-serial.dll
    ${TOOLSDIR}/ip232-term.exe
    ${TOOLSDIR}/ip232-peer.exe
    ${STANDINDIR}/quorvex_extension_api.dll)
  set(module ${EXTENSIONDIR}/ip232-serial.dll)
  set(term ${TOOLSDIR}/ip232-term.exe)
  set(package_file ${PACKAGE}.zip)
  set(generator ZIP)
else()
  set(expected
    ${EXTENSIONDIR}/ip232-serial.so
    ${TOOLSDIR}/ip232-term
    ${TOOLSDIR}/ip232-peer
    ${STANDINDIR}/libquorvex_extension_api.so)
  set(module ${EXTENSIONDIR}/ip232-serial.so)
  set(term ${TOOLSDIR}/ip232-term)
  set(package_file ${PACKAGE}.tar.gz)
  set(generator TGZ)
endif()
if(DOCDIR STREQUAL ".")
  set(docs "")
else()
  set(docs "${DOCDIR}/")
endif()
list(APPEND expected ${docs}README.md ${EXTRA_FILES})
string(REPLACE "," ";" doc_pages "${DOC_PAGES}")
foreach(page IN LISTS doc_pages)
  list(APPEND expected ${docs}docs/${page}.md)
endforeach()
set(man_pages "")
if(MANDIR)
  set(man_pages ${MANDIR}/man1/ip232-term.1 ${MANDIR}/man1/ip232-peer.1)
  list(APPEND expected ${man_pages})
endif()
list(SORT expected)

function(compare what actual)
  list(SORT actual)
  if(NOT actual STREQUAL expected)
    list(JOIN actual "\n  " a)
    list(JOIN expected "\n  " e)
    message(FATAL_ERROR "${what} differs from the layout.\n"
      "got:\n  ${a}\nexpected:\n  ${e}")
  endif()
endfunction()

# Release binaries carry no debug information.
function(check_stripped root)
  foreach(binary IN LISTS expected)
    if(binary MATCHES "\\.(md|1|txt)$")
      continue()
    endif()
    execute_process(COMMAND ${OBJDUMP} -h ${root}/${binary}
      OUTPUT_VARIABLE sections RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0 OR sections MATCHES "\\.debug_info")
      message(FATAL_ERROR "${root}/${binary} is not stripped")
    endif()
  endforeach()
endfunction()

# The install tree.
execute_process(
  COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --strip
  OUTPUT_QUIET RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed")
endif()
file(GLOB_RECURSE installed RELATIVE ${prefix} ${prefix}/*)
compare("The install tree" "${installed}")

check_stripped(${prefix})

# Every relative link in an installed document leads to an installed file.
foreach(document IN LISTS expected)
  if(NOT document MATCHES "\\.md$")
    continue()
  endif()
  file(READ ${prefix}/${document} text)
  # "](" opens a link's target; brackets would upset CMake's lists.
  string(REPLACE "](" " @link@" text "${text}")
  string(REGEX MATCHALL "@link@[^]\\[)# \n]+" links "${text}")
  get_filename_component(folder ${prefix}/${document} DIRECTORY)
  foreach(link IN LISTS links)
    string(SUBSTRING "${link}" 6 -1 target)
    if(target MATCHES "^[a-z]+:")
      continue()
    endif()
    if(NOT EXISTS ${folder}/${target})
      message(FATAL_ERROR "${document} links to ${target}, not installed")
    endif()
  endforeach()
endforeach()

# The installed README is for someone with the package, not the source tree:
# it names no path of the tree's (its source-tree parts are left out).
file(READ ${prefix}/${docs}README.md text)
foreach(tree_path "build/" "scripts/" ".ci/" "<!-- source tree" "<!-- /source tree")
  string(FIND "${text}" "${tree_path}" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "the installed README.md names '${tree_path}'")
  endif()
endforeach()

# The manual pages: what help2man made of each program's --help, with the
# sections the help text heads, and those of docs/man/PROGRAM.h2m.
foreach(page IN LISTS man_pages)
  file(READ ${prefix}/${page} text)
  get_filename_component(program ${page} NAME_WE)
  string(TOUPPER ${program} title)
  foreach(part ".TH ${title} \"1\"" "\"${program} ${VERSION}\""
          ".SH SYNOPSIS" ".SH OPTIONS" ".SH \"EXIT STATUS\"" ".SH EXAMPLES"
          ".SH \"SEE ALSO\"")
    string(FIND "${text}" "${part}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "${page} lacks '${part}'")
    endif()
  endforeach()
endforeach()

# The version: a string in the module, and the DLL's version resource.
if(WINDOWS)
  file(STRINGS ${prefix}/${module} found ENCODING UTF-16LE
    REGEX "^${VERSION}$")
else()
  file(STRINGS ${prefix}/${module} found REGEX "ip232-serial ${VERSION}")
endif()
if(NOT found)
  message(FATAL_ERROR "${module} does not carry version ${VERSION}")
endif()

# The installed host program finds the installed module by itself and
# applies it; port 1 on loopback refuses, and the program ends after its
# empty input with status 1, as no connection was made.
file(WRITE ${scratch}/empty-input "")
execute_process(
  COMMAND ${EMULATOR} ${prefix}/${term}
    --linger 0 host=127.0.0.1 port=1
  INPUT_FILE ${scratch}/empty-input
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc TIMEOUT 120)
# The extension's line goes to standard error; standard output carries
# received bytes only.
set(line "ip232-serial: ip232 bridge to 127.0.0.1:1 (connecting)")
string(FIND "${err}" "${line}" at)
string(FIND "${err}" "before a connection was made" reason)
if(NOT rc EQUAL 1 OR at EQUAL -1 OR reason EQUAL -1 OR NOT out STREQUAL "")
  message(FATAL_ERROR "installed ${term} with ${module}: exit ${rc}\n"
    "stdout: ${out}\nstderr: ${err}")
endif()

# The package, built from the same install rules.
execute_process(
  COMMAND ${CMAKE_CPACK_COMMAND} -G ${generator}
    --config ${BUILD_DIR}/CPackConfig.cmake -B ${scratch}/package
  OUTPUT_QUIET RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT EXISTS ${scratch}/package/${package_file})
  message(FATAL_ERROR "cpack did not make ${package_file}")
endif()
execute_process(
  COMMAND ${CMAKE_COMMAND} -E tar tf ${scratch}/package/${package_file}
  OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cannot list ${package_file}")
endif()
string(REGEX REPLACE "\n$" "" listing "${listing}")
string(REPLACE "\n" ";" entries "${listing}")
# Archives list their folders too; the layout is about files. Everything
# sits in one top folder named after the package, so that unpacking makes
# one folder and nothing beside it.
list(FILTER entries EXCLUDE REGEX "/$")
set(outside ${entries})
list(FILTER outside EXCLUDE REGEX "^${PACKAGE}/")
if(outside)
  message(FATAL_ERROR "${package_file} holds files outside ${PACKAGE}/: "
    "${outside}")
endif()
list(TRANSFORM entries REPLACE "^${PACKAGE}/" "")
compare("${package_file}" "${entries}")
file(MAKE_DIRECTORY ${scratch}/unpacked)
execute_process(
  COMMAND ${CMAKE_COMMAND} -E tar xf ${scratch}/package/${package_file}
  WORKING_DIRECTORY ${scratch}/unpacked RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cannot unpack ${package_file}")
endif()
file(GLOB top RELATIVE ${scratch}/unpacked ${scratch}/unpacked/*)
if(NOT top STREQUAL PACKAGE)
  message(FATAL_ERROR "${package_file} unpacks into '${top}', not ${PACKAGE}/")
endif()
check_stripped(${scratch}/unpacked/${PACKAGE})
message(STATUS "${package_file}: ${entries}")
