// The patch of the lit surface that an image shows, and its shading.
#pragma once

#include <lighting/lighting.hpp>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <span>

namespace render {

// The fixed part of a render: the surface (through `point`, facing `normal`,
// with `reflectance`) and the light. The normal is passed to the lighting
// model exactly as given; only the patch's axes use it normalised.
struct Scene {
  lighting::Vector3 point;
  lighting::Vector3 normal;
  lighting::Vector3 reflectance;
  lighting::PointLight light;
};

// A width x height grid of square pixels on the plane through scene.point
// perpendicular to the normal, centred on the point, its longer side `extent`
// long. Column c, row r is sampled at its centre:
//   centre + ((c + 0.5) - width/2) * pixel * right + (height/2 - (r + 0.5)) * pixel * up
// right = normalise(Y x n) and up = n x right, so for n = +Z the image shows
// +X to the right and +Y upwards. Only when n is exactly parallel to Y
// (n.x = n.z = 0) does Z replace Y: right = normalise(Z x n).
struct Patch {
  int width;
  int height;
  double centre[3];
  double right[3];
  double up[3];
  double pixel;  // side of one pixel in scene units
};

// The patch for an image; the normal must be non-zero and finite.
Patch make_patch(const Scene& scene, int width, int height, double extent);

// The surface point at a pixel's centre, rounded to float per coordinate.
lighting::Vector3 patch_point(const Patch& patch, int column, int row);

// patch_point for columns first_column, first_column + 1, ... of one row, one
// per element of out: the same bits, computed on SIMD (surface_points.cpp).
void row_points(const Patch& patch, int row, int first_column, std::span<lighting::Vector3> out);

// diffused_energy at every pixel of one row, through the batch function;
// out.size() == patch.width.
void shade_row(const Scene& scene, const Patch& patch, int row, std::span<lighting::Vector3> out);

// Every channel finite. Bit tests rather than comparisons: no branches, and
// the answer cannot change with floating-point flags.
inline bool is_finite(const lighting::Vector3& energy) {
  constexpr std::uint32_t kExponent = 0x7F800000u;  // all ones: infinity or NaN
  return std::max({std::bit_cast<std::uint32_t>(energy.x) & kExponent,
                   std::bit_cast<std::uint32_t>(energy.y) & kExponent,
                   std::bit_cast<std::uint32_t>(energy.z) & kExponent}) != kExponent;
}

}  // namespace render
