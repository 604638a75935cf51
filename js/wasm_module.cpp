// The WebAssembly module of the npm package: the library's C interface
// (lighting.h), exported function by function at link time, and the name of
// the batch target in use.
#include <lighting/lighting.h>
#include <lighting/lighting.hpp>

extern "C" {

// "wasm_simd128", or "scalar-loop" in the module without SIMD; NUL-terminated.
const char* lighting_wasm_batch_target() noexcept {
  return lighting::batch_target().data();
}

}  // extern "C"
