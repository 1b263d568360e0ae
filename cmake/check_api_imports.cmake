# Holds the boundary to the host's extension API library to its list.
#   -DMODE=imports  -DBINARY=<module>   fails on any import from the API
#                                       library that is not in the list
#   -DMODE=exports  -DBINARY=<library>  fails unless the stand-in library
#                                       exports exactly the list
#   -DLIST=host_api/extension_api.exports -DTOOL=nm-or-objdump -DWINDOWS=1|0
cmake_minimum_required(VERSION 3.25)
file(STRINGS ${LIST} allowed REGEX "^[^#]")

if(WINDOWS)
  execute_process(COMMAND ${TOOL} -p ${BINARY} OUTPUT_VARIABLE dump
    RESULT_VARIABLE rc)
else()
  if(MODE STREQUAL "imports")
    set(nm_filter --undefined-only)
  else()
    set(nm_filter --defined-only)
  endif()
  execute_process(COMMAND ${TOOL} -D ${nm_filter} ${BINARY}
    OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
endif()
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${TOOL} failed on ${BINARY}")
endif()
string(REPLACE ";" "\\;" dump "${dump}")
string(REPLACE "\n" ";" lines "${dump}")

set(names)
if(WINDOWS AND MODE STREQUAL "imports")
  # The import table lists each DLL as "DLL Name: X", then a header line and
  # one "\tvma  hint  name" line per import, up to a blank line.
  set(in_api FALSE)
  foreach(line IN LISTS lines)
    if(line MATCHES "DLL Name: (.*)$")
      string(TOLOWER "${CMAKE_MATCH_1}" dll)
      set(in_api FALSE)
      if(dll STREQUAL "quorvex_extension_api.dll")
        set(in_api TRUE)
      endif()
    elseif(line STREQUAL "")
      set(in_api FALSE)
    elseif(in_api AND line MATCHES "^\t[0-9a-f]+\t +[0-9]+ +([^ ]+)")
      list(APPEND names "${CMAKE_MATCH_1}")
    endif()
  endforeach()
elseif(WINDOWS)
  # The names follow "[Ordinal/Name Pointer] Table", one per line as
  # "\t[   0] name", up to the next blank line.
  set(in_table FALSE)
  foreach(line IN LISTS lines)
    if(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
      set(in_table TRUE)
    elseif(line STREQUAL "")
      set(in_table FALSE)
    elseif(in_table AND line MATCHES "\\] ([^ ]+)$")
      list(APPEND names "${CMAKE_MATCH_1}")
    endif()
  endforeach()
elseif(MODE STREQUAL "imports")
  # An ELF import does not name its library. Everything the API library can
  # supply is in namespace quorvex (or, with C linkage, starts with
  # "quorvex"); the C and C++ runtimes supply nothing of that name.
  foreach(line IN LISTS lines)
    if(line MATCHES "^ +[A-Za-z] ([^ @]+)")
      set(name "${CMAKE_MATCH_1}")
      if(name MATCHES "7quorvex" OR name MATCHES "^quorvex")
        list(APPEND names "${name}")
      endif()
    endif()
  endforeach()
else()
  foreach(line IN LISTS lines)
    if(line MATCHES "^[0-9a-f]+ [A-Za-z] ([^ @]+)")
      list(APPEND names "${CMAKE_MATCH_1}")
    endif()
  endforeach()
endif()

# The module cannot be built without the base class's constructor, so an
# empty list means the tool's output was not understood.
if(NOT names)
  message(FATAL_ERROR "found no ${MODE} of the API library in ${BINARY}")
endif()

set(outside)
foreach(name IN LISTS names)
  if(NOT name IN_LIST allowed)
    list(APPEND outside "${name}")
  endif()
endforeach()
set(missing)
if(MODE STREQUAL "exports")
  foreach(name IN LISTS allowed)
    if(NOT name IN_LIST names)
      list(APPEND missing "${name}")
    endif()
  endforeach()
endif()

list(JOIN names "\n  " shown)
message(STATUS "${MODE} of ${BINARY} (API library):\n  ${shown}")
if(outside OR missing)
  set(report "")
  foreach(name IN LISTS outside)
    string(APPEND report "\n  not in the list: ${name}")
  endforeach()
  foreach(name IN LISTS missing)
    string(APPEND report "\n  listed but not exported: ${name}")
  endforeach()
  message(FATAL_ERROR "${BINARY} breaks the API library's list (${LIST}):"
    "${report}")
endif()
