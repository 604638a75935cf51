// The argument rules every batch keeps, on the CPU and on the GPU: spans of
// one size, and an output that is the points themselves or apart from every
// input. Each throws std::invalid_argument before anything is written, its
// message prefixed with `who` ("lighting", "lighting::cuda").
#pragma once

#include <lighting/lighting.hpp>

#include <cstddef>
#include <span>

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

// The rules of each batch on host spans, in one order, so that the CPU and
// the GPU name the same first fault: the sizes, then the output against the
// points, the per-point arrays and the single records. False for an empty
// batch, whose addresses are not looked at.
bool check_received(const char* who, std::span<const Vector3> points, const PointLight& light,
                    std::span<const Vector3> out);
bool check_diffused(const char* who, std::span<const Vector3> points, const Vector3& normal,
                    const Vector3& reflectance, const PointLight& light,
                    std::span<const Vector3> out);
bool check_diffused(const char* who, std::span<const Vector3> points,
                    std::span<const Vector3> normals, std::span<const Vector3> reflectances,
                    const PointLight& light, std::span<const Vector3> out);

}  // namespace lighting::detail
