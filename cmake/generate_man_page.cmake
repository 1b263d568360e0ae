# Writes a program's manual page from its own --help and --version with
# help2man, so that the page says what the program says. A heading line
# "Words:" in the help text becomes a section of the page ("WORDS"), as
# "Options:" does by help2man's own rule. The include file adds sections
# of its own ([EXAMPLES], [SEE ALSO]: help2man's --include).
# -DHELP2MAN -DPROGRAM -DNAME (the one-line description) -DINCLUDE -DOUTPUT
cmake_minimum_required(VERSION 3.25)

execute_process(
  COMMAND ${HELP2MAN} --no-info --section=1 --name=${NAME}
    --include=${INCLUDE} --output=${OUTPUT}.new ${PROGRAM}
  RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "help2man ${PROGRAM} failed: ${err}")
endif()
file(READ ${OUTPUT}.new page)
file(REMOVE ${OUTPUT}.new)
string(REGEX MATCHALL "\n\\.SS \"[^\"\n]+:\"\n" headings "${page}")
foreach(heading IN LISTS headings)
  string(REGEX REPLACE "\n\\.SS \"([^\"\n]+):\"\n" "\\1" title "${heading}")
  string(TOUPPER "${title}" title)
  string(REPLACE "${heading}" "\n.SH \"${title}\"\n" page "${page}")
endforeach()
file(WRITE ${OUTPUT} "${page}")
