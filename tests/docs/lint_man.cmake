# Lints a manual page with mandoc and, when present, groff; any message at
# all (style hints included) fails.
#   cmake -DMAN_PAGE=<page> -DMANDOC=<mandoc> [-DGROFF=<groff>] -P lint_man.cmake
set(failed FALSE)
execute_process(COMMAND ${MANDOC} -T lint -W style ${MAN_PAGE}
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT "${out}${err}" STREQUAL "")
  message("mandoc -T lint (status ${rc}):\n${out}${err}")
  set(failed TRUE)
endif()
if(GROFF)
  execute_process(COMMAND ${GROFF} -ww -z -man ${MAN_PAGE}
                  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR NOT "${out}${err}" STREQUAL "")
    message("groff -ww -z -man (status ${rc}):\n${out}${err}")
    set(failed TRUE)
  endif()
endif()
if(failed)
  message(FATAL_ERROR "${MAN_PAGE} does not lint clean")
endif()
message(STATUS "${MAN_PAGE} lints clean")
