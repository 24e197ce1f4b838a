# cmake -DPAGE=man/wendrel.1 -P man_page_lint.cmake
#
# The manual page must pass mandoc's and groff's checks without a single
# message. Each checker that is not installed is left out; with neither, the
# test reports itself skipped.
set(checked "")
find_program(MANDOC mandoc)
if(MANDOC)
  execute_process(COMMAND "${MANDOC}" -Tlint "${PAGE}"
                  OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE result)
  if(NOT result EQUAL 0 OR NOT out STREQUAL "")
    message(FATAL_ERROR "mandoc -Tlint ${PAGE} (exit ${result}):\n${out}")
  endif()
  list(APPEND checked mandoc)
endif()
find_program(GROFF groff)
if(GROFF)
  execute_process(COMMAND "${GROFF}" -ww -z -man "${PAGE}"
                  OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE result)
  if(NOT result EQUAL 0 OR NOT out STREQUAL "")
    message(FATAL_ERROR "groff -ww -z -man ${PAGE} (exit ${result}):\n${out}")
  endif()
  list(APPEND checked groff)
endif()
if(checked STREQUAL "")
  message("SKIPPED: neither mandoc nor groff is installed")
else()
  message("clean for: ${checked}")
endif()
