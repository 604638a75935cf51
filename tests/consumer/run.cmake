# Builds and runs the consumer against this build of the library, the way an
# outside user would:
#   package       find_package(lighting) on the installed tree
#   subdirectory  add_subdirectory of the source tree
#   pkg_config    c++ $(pkg-config --cflags --libs lighting) on the installed tree
#   shared        the project built with BUILD_SHARED_LIBS=ON and installed: the
#                 installed lighting-demo must run, finding liblighting by itself
#   cmake -DMODE=... -DLIGHTING_SOURCE_DIR=... -DLIGHTING_BINARY_DIR=...
#         -DWORK_DIR=... -DGOLDEN=... [-DCXX_FLAGS=...] [-DCXX_COMPILER=...] -P run.cmake
include("${CMAKE_CURRENT_LIST_DIR}/../cmake/script_helpers.cmake")
require_variables(MODE LIGHTING_SOURCE_DIR WORK_DIR GOLDEN)

file(REMOVE_RECURSE "${WORK_DIR}")
set(configure_args -DLIGHTING_CONSUMER_MODE=${MODE} "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}"
                   -DCMAKE_BUILD_TYPE=Release)
if(CXX_COMPILER)
  list(APPEND configure_args "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}")
endif()

if(MODE STREQUAL "pkg_config")
  find_program(PKG_CONFIG pkg-config REQUIRED)
  if(NOT CXX_COMPILER)
    set(CXX_COMPILER c++)
  endif()
  run(${CMAKE_COMMAND} --install "${LIGHTING_BINARY_DIR}" --prefix "${WORK_DIR}/prefix")
  file(MAKE_DIRECTORY "${WORK_DIR}/build")
  set(ENV{PKG_CONFIG_PATH} "${WORK_DIR}/prefix/lib/pkgconfig")
  # The user's command line, through a shell for the $(...).
  set(tests_dir "${CMAKE_CURRENT_LIST_DIR}/..")
  run(sh -c "'${CXX_COMPILER}' -std=c++20 ${CXX_FLAGS} -I'${tests_dir}' \
'${tests_dir}/consumer/consumer.cpp' -o '${WORK_DIR}/build/consumer' \
$('${PKG_CONFIG}' --cflags --libs lighting)")
  run("${WORK_DIR}/build/consumer" "${GOLDEN}")
  return()
elseif(MODE STREQUAL "shared")
  run(${CMAKE_COMMAND} -S "${LIGHTING_SOURCE_DIR}" -B "${WORK_DIR}/build" ${configure_args}
      -DBUILD_SHARED_LIBS=ON -DBUILD_TESTING=OFF -DLIGHTING_BUILD_RENDER=OFF
      -DLIGHTING_BUILD_BENCHMARKS=OFF -DLIGHTING_BUILD_PYTHON=OFF -DLIGHTING_INSTALL=ON)
  run(${CMAKE_COMMAND} --build "${WORK_DIR}/build" --target lighting-demo)
  run(${CMAKE_COMMAND} --install "${WORK_DIR}/build" --prefix "${WORK_DIR}/prefix")
  run(${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH
      "${LIGHTING_SOURCE_DIR}/tests/demo_test.sh" "${WORK_DIR}/prefix/bin/lighting-demo")
  return()
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
