# ip232-term given a module of the other C++ ABI ends with status 1 and one
# line naming both ABIs, before it runs anything of the module.
#   cmake -DEMULATOR=wine -DTERM=ip232-term.exe -DMODULE=ip232-serial.dll
#         -DMODULE_ABI=MSVC -DTERM_ABI=MinGW -P this
# Prints "skipped: ..." when the other build is not there.
if(NOT EXISTS ${TERM} OR NOT EXISTS ${MODULE})
  message("skipped: build both Windows presets first (${TERM}, ${MODULE})")
  return()
endif()
execute_process(COMMAND ${EMULATOR} ${TERM} --extension ${MODULE} 127.0.0.1:1
  INPUT_FILE /dev/null RESULT_VARIABLE rc
  OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 100)
string(STRIP "${err}" err)
set(want "ip232-term: ${MODULE} is built for the ${MODULE_ABI} C++ ABI, this ip232-term for ${TERM_ABI}'s")
if(NOT rc EQUAL 1 OR NOT err STREQUAL want OR NOT out STREQUAL "")
  message(FATAL_ERROR "status ${rc}, standard error:\n${err}\nstandard output:\n"
    "${out}\nwanted status 1 and the one line '${want}'")
endif()
