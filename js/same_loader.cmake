# The two modules share one loader: emscripten writes the same one for both
# but for the .wasm's name, which index.js never lets it use (it hands the
# loader the compiled module). Fails the build if they ever differ otherwise.
# Usage: cmake -DSIMD=lighting-wasm.mjs -DSCALAR=lighting-wasm-scalar.mjs -P same_loader.cmake
file(READ "${SIMD}" simd)
file(READ "${SCALAR}" scalar)
string(REPLACE "lighting-wasm-scalar.wasm" "lighting-wasm.wasm" scalar "${scalar}")
if(NOT simd STREQUAL scalar)
  message(FATAL_ERROR "${SIMD} and ${SCALAR} differ beyond the .wasm's name: ship both loaders")
endif()
