# cmake -DINPUT=file -DOUTPUT=file.gz -DGZIP=/bin/gzip -P GzipFile.cmake
#
# Compresses INPUT into OUTPUT the way Debian does (gzip -9n): best
# compression, and neither the file name nor a time stamp in the header, so
# the same input always gives the same bytes.
foreach(variable INPUT OUTPUT GZIP)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "GzipFile.cmake needs -D${variable}=...")
  endif()
endforeach()
execute_process(COMMAND "${GZIP}" -9n -c "${INPUT}"
                OUTPUT_FILE "${OUTPUT}.tmp"
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(REMOVE "${OUTPUT}.tmp")
  message(FATAL_ERROR "gzip -9n ${INPUT} failed: ${result}")
endif()
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
