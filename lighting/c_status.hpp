// How the C interface reports the exceptions of the C++ functions it calls.
#pragma once

#include <lighting/lighting.h>

#include <cstddef>
#include <initializer_list>

namespace lighting::detail {

// The status of the exception being handled; call it only inside a catch
// block. The C++ batches throw before they write anything, and only these:
// std::invalid_argument is LIGHTING_ERROR_OVERLAP (with one count for every
// array, the sizes always agree, so an overlap is all it can mean), and
// std::bad_alloc is LIGHTING_ERROR_OUT_OF_MEMORY. Any other exception is a
// fault of the library and ends the program (the callers are noexcept)
// rather than being reported as something it is not.
LightingStatus status_of_current_exception() noexcept;

// The argument checks of every C batch with a nonzero count, CPU and GPU,
// before it runs: LIGHTING_ERROR_NULL when an array or a record pointer is
// null, then LIGHTING_ERROR_TOO_LARGE when count records from one of the
// arrays would run past the end of the address space (their byte length
// does not fit in size_t, or the range would wrap), else LIGHTING_OK.
// Decided on integers, before any pointer is formed from count: a pointer
// past the end of an object is undefined behaviour, and a wrapped length
// would make the overlap checks compare wrong ranges.
LightingStatus check_c_batch(std::size_t count, std::initializer_list<const void*> arrays,
                             std::initializer_list<const void*> records) noexcept;

}  // namespace lighting::detail
