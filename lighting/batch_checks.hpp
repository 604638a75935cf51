// The argument rules every batch keeps, on the CPU and on the GPU: spans of
// one size, and an output that is the points themselves or apart from every
// input. Each throws std::invalid_argument before anything is written, its
// message prefixed with `who` ("lighting", "lighting::cuda").
#pragma once

#include <lighting/lighting.hpp>

#include <cstddef>

namespace lighting::detail {

// "WHO: batch of POINTS points but OTHER WHAT" when the sizes differ.
void require_same_size(const char* who, std::size_t points, std::size_t other, const char* what);

// Whether two byte ranges share a byte, compared as addresses in a total
// order (std::less), which the built-in < does not promise for pointers into
// unrelated objects.
bool overlaps(const void* a, std::size_t a_bytes, const void* b, std::size_t b_bytes) noexcept;

// "WHO: batch output overlaps the WHAT" when out's count records share a byte
// with the input's bytes.
void require_apart(const char* who, const Vector3* out, std::size_t count, const void* input,
                   std::size_t input_bytes, const char* what);

// out may be exactly the points, element for element, and nothing else of them.
void require_in_place_or_apart(const char* who, const Vector3* points, const Vector3* out,
                               std::size_t count);

}  // namespace lighting::detail
