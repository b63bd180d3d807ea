# Compresses INPUT into OUTPUT with GZIP -9n, for the manual page at build time.
execute_process(COMMAND ${GZIP} -9 -n -c ${INPUT} OUTPUT_FILE ${OUTPUT} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(REMOVE ${OUTPUT})
  message(FATAL_ERROR "${GZIP} failed on ${INPUT}: ${result}")
endif()
