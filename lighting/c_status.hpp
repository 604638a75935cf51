// How the C interface reports the exceptions of the C++ functions it calls.
#pragma once

#include <lighting/lighting.h>

namespace lighting::detail {

// The status of the exception being handled; call it only inside a catch
// block. The C++ batches throw before they write anything, and only these:
// std::invalid_argument is LIGHTING_ERROR_OVERLAP (with one count for every
// array, the sizes always agree, so an overlap is all it can mean), and
// std::bad_alloc is LIGHTING_ERROR_OUT_OF_MEMORY. Any other exception is a
// fault of the library and ends the program (the callers are noexcept)
// rather than being reported as something it is not.
LightingStatus status_of_current_exception() noexcept;

}  // namespace lighting::detail
