# Helpers for the test scripts run with cmake -P.

# Stops the script, naming it, unless every variable given was passed with -D.
macro(require_variables)
  foreach(required ${ARGV})
    if(NOT DEFINED ${required})
      get_filename_component(script "${CMAKE_CURRENT_LIST_FILE}" NAME)
      message(FATAL_ERROR "${script}: ${required} is not set")
    endif()
  endforeach()
endmacro()

# Runs a command and stops the script, showing the command, if it fails.
function(run)
  execute_process(COMMAND ${ARGV} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    string(REPLACE ";" " " command "${ARGV}")
    message(FATAL_ERROR "failed (${status}): ${command}")
  endif()
endfunction()
