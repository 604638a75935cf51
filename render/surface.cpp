#include "surface.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace render {

namespace {

void cross(const double a[3], const double b[3], double out[3]) {
  out[0] = a[1] * b[2] - a[2] * b[1];
  out[1] = a[2] * b[0] - a[0] * b[2];
  out[2] = a[0] * b[1] - a[1] * b[0];
}

void normalise(double v[3]) {
  const double length = std::hypot(v[0], v[1], v[2]);
  for (int i = 0; i < 3; ++i) v[i] /= length;
}

}  // namespace

Patch make_patch(const Scene& scene, int width, int height, double extent) {
  double n[3] = {double(scene.normal.x), double(scene.normal.y), double(scene.normal.z)};
  if (!(std::hypot(n[0], n[1], n[2]) > 0.0)) throw std::invalid_argument("zero normal");
  normalise(n);

  // Y as the "up" hint, unless the normal is exactly along it. Y x n is
  // (n.z, 0, -n.x), exact in double and non-zero for any other normal, so no
  // threshold is needed, and none would be without a visible flip beside it.
  const double y_axis[3] = {0.0, 1.0, 0.0};
  const double z_axis[3] = {0.0, 0.0, 1.0};
  const bool along_y = n[0] == 0.0 && n[2] == 0.0;
  Patch patch{};
  cross(along_y ? z_axis : y_axis, n, patch.right);
  normalise(patch.right);
  cross(n, patch.right, patch.up);
  normalise(patch.up);

  patch.width = width;
  patch.height = height;
  patch.centre[0] = double(scene.point.x);
  patch.centre[1] = double(scene.point.y);
  patch.centre[2] = double(scene.point.z);
  patch.pixel = extent / std::max(width, height);
  return patch;
}

lighting::Vector3 patch_point(const Patch& patch, int column, int row) {
  lighting::Vector3 point{};
  row_points(patch, row, column, {&point, 1});
  return point;
}

void shade_row(const Scene& scene, const Patch& patch, int row, std::span<lighting::Vector3> out) {
  // The row's points go into out, then one batch call shades them in place:
  // one plane, one light, the whole row.
  row_points(patch, row, 0, out);
  lighting::diffused_energy(out, scene.normal, scene.reflectance, scene.light, out);
}

}  // namespace render
