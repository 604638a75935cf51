// The patch of the lit surface that an image shows, and its shading.
#pragma once

#include <lighting/lighting.hpp>

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
// +X to the right and +Y upwards; when n is parallel to Y, Z replaces Y.
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

// diffused_energy at every pixel of one row; out.size() == patch.width.
void shade_row(const Scene& scene, const Patch& patch, int row, std::span<lighting::Vector3> out);

inline bool is_finite(const lighting::Vector3& energy) {
  // Written as comparisons so that the test is exact and needs no <cmath>.
  constexpr float kMax = 3.40282347e38f;
  return energy.x >= -kMax && energy.x <= kMax && energy.y >= -kMax && energy.y <= kMax &&
         energy.z >= -kMax && energy.z <= kMax;
}

}  // namespace render
