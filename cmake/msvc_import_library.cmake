# Makes an import library (LIB) for a DLL from the DLL's own export table:
# llvm-objdump lists the exports, which go to a module-definition file
# (DEF) for llvm-dlltool. Forwarded exports count as the DLL's own.
#   cmake -DDLL=... -DDEF=... -DLIB=... -DOBJDUMP=... -DDLLTOOL=... -P this
execute_process(COMMAND ${OBJDUMP} -p ${DLL}
  OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed")
endif()
get_filename_component(dll_name ${DLL} NAME)
set(def "LIBRARY ${dll_name}\nEXPORTS\n")
string(REPLACE "\n" ";" lines "${listing}")
set(in_table OFF)
set(count 0)
foreach(line IN LISTS lines)
  if(line MATCHES "^ *Ordinal +RVA +Name")
    set(in_table ON)
  elseif(in_table AND line MATCHES "^ *[0-9]+ +(0x[0-9a-f]+ +)?([^ ]+)")
    string(APPEND def "  ${CMAKE_MATCH_2}\n")
    math(EXPR count "${count} + 1")
  elseif(in_table)
    set(in_table OFF)
  endif()
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "no exports found in ${DLL}")
endif()
file(WRITE ${DEF} "${def}")
execute_process(COMMAND ${DLLTOOL} -m i386:x86-64 -d ${DEF} -l ${LIB}
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${DLLTOOL} failed for ${DEF}")
endif()
