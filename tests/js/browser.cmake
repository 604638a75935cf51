# The npm package in headless Chromium: the golden vectors of both flavours
# and a 2^16-case slice of the one-hash cases, in a page (with and without
# SIMD) and in a worker, against the native library's outputs. The slice is
# computed by a native build of the library (host compiler) on the module's
# own pow (native_slice.sh), so that the default flavour can be compared too.
# Included from tests/CMakeLists.txt for the npm package's build.
find_program(LIGHTING_CHROMIUM NAMES chromium chromium-browser DOC "Chromium for the browser tests")
find_program(LIGHTING_HOST_CXX NAMES c++ g++ clang++ NO_CMAKE_FIND_ROOT_PATH
  DOC "host C++ compiler for the native one-hash slice")
find_program(LIGHTING_HOST_CC NAMES cc gcc clang NO_CMAKE_FIND_ROOT_PATH
  DOC "host C compiler for the module's pow, built natively")
set(lighting_musl_dir "${EMSCRIPTEN_ROOT_PATH}/system/lib/libc/musl")

lighting_library_sources(slice_sources)
set(slice_dir "${CMAKE_CURRENT_BINARY_DIR}/browser-slice")
set(slice_file "${slice_dir}/determinism_slice.bin")
if(LIGHTING_HOST_CXX AND LIGHTING_HOST_CC AND EXISTS "${lighting_musl_dir}/src/math/pow.c")
  add_custom_command(OUTPUT "${slice_file}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${slice_dir}"
    COMMAND ${CMAKE_COMMAND} -E env HOST_CXX=${LIGHTING_HOST_CXX} HOST_CC=${LIGHTING_HOST_CC}
            "${CMAKE_CURRENT_SOURCE_DIR}/js/native_slice.sh" "${PROJECT_SOURCE_DIR}"
            "${lighting_musl_dir}" "${CMAKE_CURRENT_BINARY_DIR}/native-slice" "${slice_file}"
    DEPENDS js/native_slice.sh js/determinism_slice.cpp determinism_cases.hpp
            ${slice_sources}
    COMMENT "The one-hash slice from a native build on the module's pow"
    VERBATIM)
  add_custom_target(lighting_browser_slice ALL DEPENDS "${slice_file}")
endif()

if(LIGHTING_CHROMIUM AND TARGET lighting_browser_slice)
  add_test(NAME npm.chromium_page_and_worker_bits
    COMMAND "${CMAKE_CURRENT_SOURCE_DIR}/js/browser/run.sh" ${LIGHTING_NPM} ${LIGHTING_NODE}
            ${LIGHTING_CHROMIUM} ${LIGHTING_NPM_PACKAGE} "${PROJECT_SOURCE_DIR}" "${slice_dir}"
            "${CMAKE_CURRENT_BINARY_DIR}/chromium-bits" /tests/index.html
            "page,page (no SIMD),worker")
  set_tests_properties(npm.chromium_page_and_worker_bits PROPERTIES TIMEOUT 180 RUN_SERIAL TRUE)
  # The example page against a native lighting-render and lighting-demo
  # (the dev preset's, which CI builds first): its report and its pixels.
  set(LIGHTING_NATIVE_RENDER "" CACHE FILEPATH "A native lighting-render, for the example page's test")
  set(LIGHTING_NATIVE_DEMO "" CACHE FILEPATH "A native lighting-demo, for the example page's test")
  if(EXISTS "${LIGHTING_NATIVE_RENDER}" AND EXISTS "${LIGHTING_NATIVE_DEMO}")
    add_test(NAME npm.chromium_example_page_matches_lighting_render
      COMMAND ${CMAKE_COMMAND} -E env NATIVE_RENDER=${LIGHTING_NATIVE_RENDER}
              NATIVE_DEMO=${LIGHTING_NATIVE_DEMO} EXAMPLE_DIR=${LIGHTING_EXAMPLE_DIR}
              "SCREENSHOT=${CMAKE_CURRENT_BINARY_DIR}/javascript-page.png:/examples/index.html"
              "${CMAKE_CURRENT_SOURCE_DIR}/js/browser/run.sh" ${LIGHTING_NPM} ${LIGHTING_NODE}
              ${LIGHTING_CHROMIUM} ${LIGHTING_NPM_PACKAGE} "${PROJECT_SOURCE_DIR}" "${slice_dir}"
              "${CMAKE_CURRENT_BINARY_DIR}/chromium-example" /tests/example_test.html example)
    set_tests_properties(npm.chromium_example_page_matches_lighting_render PROPERTIES
      TIMEOUT 180 RUN_SERIAL TRUE)
  else()
    message(STATUS "lighting: no native lighting-render and lighting-demo (LIGHTING_NATIVE_RENDER, "
                   "LIGHTING_NATIVE_DEMO; build the dev preset first): the example page's test is not run")
  endif()

  # Through a bundler, where one is installed (esbuild from npm).
  find_program(LIGHTING_ESBUILD esbuild DOC "esbuild, for the bundled-package browser test")
  if(LIGHTING_ESBUILD)
    add_test(NAME npm.chromium_bundled_with_esbuild
      COMMAND ${CMAKE_COMMAND} -E env ESBUILD=${LIGHTING_ESBUILD}
              "${CMAKE_CURRENT_SOURCE_DIR}/js/browser/run.sh" ${LIGHTING_NPM} ${LIGHTING_NODE}
              ${LIGHTING_CHROMIUM} ${LIGHTING_NPM_PACKAGE} "${PROJECT_SOURCE_DIR}" "${slice_dir}"
              "${CMAKE_CURRENT_BINARY_DIR}/chromium-bundle" /tests/bundle.html bundle)
    set_tests_properties(npm.chromium_bundled_with_esbuild PROPERTIES TIMEOUT 180 RUN_SERIAL TRUE)
  endif()
elseif(NOT LIGHTING_CHROMIUM)
  message(STATUS "lighting: no chromium, the browser tests of the npm package are not run")
endif()

# The node benchmark, small: its bit checks, not its speed.
add_test(NAME bench.js_batch_bits_small
  COMMAND ${LIGHTING_NODE} "${PROJECT_SOURCE_DIR}/bench/js/batch_bench.mjs"
          "${PROJECT_BINARY_DIR}/js/package/index.js" --points 20000 --runs 1)
