// The WebAssembly module of the npm package: the library's C interface
// (lighting.h), exported function by function at link time. Nothing else is
// needed here; this file only gives the module a translation unit of its own.
#include <lighting/lighting.h>
