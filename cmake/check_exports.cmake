# Fails unless MODULE exports exactly quorvex_create_extension.
# -DMODULE=path -DTOOL=nm-or-objdump -DWINDOWS=1|0
if(WINDOWS)
  execute_process(COMMAND ${TOOL} -p ${MODULE} OUTPUT_VARIABLE dump
    RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${TOOL} failed on ${MODULE}")
  endif()
  # The names follow the "[Ordinal/Name Pointer] Table" header, one per line
  # as "\t[   0] name", up to the next blank line.
  string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table[^\n]*\n(([^\n]+\n)*)"
    table "${dump}")
  set(body "${CMAKE_MATCH_1}")
  string(REGEX MATCHALL "\\] [A-Za-z_][A-Za-z0-9_@]*" names "${body}")
  list(TRANSFORM names REPLACE "^\\] " "")
else()
  execute_process(COMMAND ${TOOL} -D --defined-only ${MODULE}
    OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${TOOL} failed on ${MODULE}")
  endif()
  # Defined functions and data: types T/t, D/d, B/b, R/r, V/v, W/w, u, i.
  string(REGEX MATCHALL "[0-9a-f]+ [TDBRVWuiw] [^\n]+" lines "${dump}")
  set(names)
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^[0-9a-f]+ [A-Za-z] " "" name "${line}")
    list(APPEND names "${name}")
  endforeach()
endif()
message(STATUS "exports of ${MODULE}: ${names}")
if(NOT names STREQUAL "quorvex_create_extension")
  message(FATAL_ERROR "expected exactly quorvex_create_extension, got: ${names}")
endif()
