# After a test run: one line that says how many tests skipped for want of
# the corpus of real streams, and how to point them at one.
if(NOT EXISTS "${LOG}")
  return()
endif()
file(STRINGS "${LOG}" lines)
list(LENGTH lines count)
if(count EQUAL 0)
  return()
endif()
list(GET lines 0 first)
string(REGEX REPLACE "^[^\t]*\t" "" reason "${first}")
# On standard output: ctest shows what this prints there (with
# --output-on-failure, as the test preset runs it).
execute_process(COMMAND "${CMAKE_COMMAND}" -E echo
  "${count} tests skipped: ${reason}; set WENDREL_CORPUS to a directory of real TNEF streams to run them")
