# Installs this build of the library into a fresh prefix, builds the C test
# program against the installed tree as an outside C project would, and runs it.
#   cmake -DLIGHTING_BINARY_DIR=... -DWORK_DIR=... -DSOURCE=... -DGOLDEN=...
#         -DPORTABLE_GOLDEN=... -DC_COMPILER=... -DLIBDIR=lib [-DC_FLAGS=...] -P run.cmake
include("${CMAKE_CURRENT_LIST_DIR}/../cmake/script_helpers.cmake")
require_variables(LIGHTING_BINARY_DIR WORK_DIR SOURCE GOLDEN PORTABLE_GOLDEN C_COMPILER LIBDIR)

file(REMOVE_RECURSE "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")
run(${CMAKE_COMMAND} --install "${LIGHTING_BINARY_DIR}" --prefix "${prefix}")

# The library is C++ and static: a C program links the C++ runtime with it.
# With a pkg-config file installed, its flags are used instead (--static for
# the runtime libraries a static library lists privately).
set(pc_dir "${prefix}/${LIBDIR}/pkgconfig")
find_program(PKG_CONFIG pkg-config)
if(PKG_CONFIG AND EXISTS "${pc_dir}/lighting.pc")
  set(ENV{PKG_CONFIG_PATH} "${pc_dir}")
  execute_process(COMMAND ${PKG_CONFIG} --cflags --libs --static lighting
                  OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "pkg-config --cflags --libs --static lighting failed")
  endif()
  separate_arguments(library_flags UNIX_COMMAND "${flags}")
  message(STATUS "linking with pkg-config: ${flags}")
else()
  set(library_flags -I${prefix}/include -L${prefix}/${LIBDIR} -llighting -lstdc++ -lm)
endif()

separate_arguments(extra_flags UNIX_COMMAND "${C_FLAGS}")
set(program "${WORK_DIR}/c_api_test")
run(${C_COMPILER} -std=c99 -Wall -Wextra -Wpedantic -Werror ${extra_flags} "${SOURCE}"
    ${library_flags} -o "${program}")
run("${program}" "${GOLDEN}" "${PORTABLE_GOLDEN}")
