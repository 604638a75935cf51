# Installs this build into a fresh prefix and runs the README's Python example
# from the installed package, which must print the demo's two lines.
#   cmake -DLIGHTING_BINARY_DIR=... -DWORK_DIR=... -DPYTHON=... -DSITE_DIR=...
#         -DEXAMPLE=... -P installed.cmake
foreach(required LIGHTING_BINARY_DIR WORK_DIR PYTHON SITE_DIR EXAMPLE)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "installed.cmake: ${required} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE "${WORK_DIR}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${LIGHTING_BINARY_DIR}" --prefix "${WORK_DIR}"
                RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${status})")
endif()

set(ENV{PYTHONPATH} "${WORK_DIR}/${SITE_DIR}")
set(ENV{PYTHONDONTWRITEBYTECODE} 1)
execute_process(COMMAND ${PYTHON} -I -c "import sys; sys.path.insert(0, '${WORK_DIR}/${SITE_DIR}'); import lighting; print(lighting.__file__)"
                OUTPUT_VARIABLE location OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT location MATCHES "^${WORK_DIR}/")
  message(FATAL_ERROR "lighting not imported from the installed prefix: ${location}")
endif()
execute_process(COMMAND ${PYTHON} "${EXAMPLE}" OUTPUT_VARIABLE output RESULT_VARIABLE status)
set(expected "Energie recue    : 0.250000 0.125000 0.125000\nEnergie diffusee : 0.111803 0.055902 0.111803\n")
if(NOT status EQUAL 0 OR NOT output STREQUAL expected)
  message(FATAL_ERROR "the example printed (status ${status}):\n${output}")
endif()
