# Runs PROGRAM and passes only when it exits with a failing status and prints EXPECTED.
execute_process(COMMAND ${PROGRAM} RESULT_VARIABLE status OUTPUT_VARIABLE output
                ERROR_VARIABLE output)
if(status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} exited 0 although its check fails:\n${output}")
endif()
string(FIND "${output}" "${EXPECTED}" position)
if(position EQUAL -1)
  message(FATAL_ERROR "the report lacks '${EXPECTED}':\n${output}")
endif()
message(STATUS "failing check reported with status ${status}")
