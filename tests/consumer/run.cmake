# Builds and runs the consumer project against this build of the library.
#   cmake -DMODE=package|subdirectory -DLIGHTING_SOURCE_DIR=... -DLIGHTING_BINARY_DIR=...
#         -DWORK_DIR=... -DGOLDEN=... [-DCXX_FLAGS=...] [-DCXX_COMPILER=...] -P run.cmake
foreach(required MODE LIGHTING_SOURCE_DIR WORK_DIR GOLDEN)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "run.cmake: ${required} is not set")
  endif()
endforeach()

function(run)
  execute_process(COMMAND ${ARGV} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    string(REPLACE ";" " " command "${ARGV}")
    message(FATAL_ERROR "failed (${status}): ${command}")
  endif()
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
set(configure_args -DLIGHTING_CONSUMER_MODE=${MODE} "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}"
                   -DCMAKE_BUILD_TYPE=Release)
if(CXX_COMPILER)
  list(APPEND configure_args "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}")
endif()

if(MODE STREQUAL "package")
  run(${CMAKE_COMMAND} --install "${LIGHTING_BINARY_DIR}" --prefix "${WORK_DIR}/prefix")
  list(APPEND configure_args "-DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix")
else()
  list(APPEND configure_args "-DLIGHTING_SOURCE_DIR=${LIGHTING_SOURCE_DIR}")
endif()

run(${CMAKE_COMMAND} -S "${CMAKE_CURRENT_LIST_DIR}" -B "${WORK_DIR}/build" ${configure_args})
run(${CMAKE_COMMAND} --build "${WORK_DIR}/build")
run("${WORK_DIR}/build/consumer" "${GOLDEN}")
