// The divider floor of a build without Highway: the same arithmetic as the
// SIMD floor (divider_floor.cpp), one point at a time.
#include <cmath>
#include <cstddef>

#include "divider_floor.hpp"

namespace bench {

double divider_floor(std::int64_t, const lighting::Vector3* points, std::size_t count) {
  double sum = 0.0;
  for (std::size_t i = 0; i < count; ++i) {
    const double x = double(points[i].x);
    const double y = double(points[i].y);
    const double z = double(points[i].z);
    const double length = std::sqrt(x);
    const double falloff = (1.0 / length) / length;
    sum += falloff + ((x / length + y / length) + z / length);
  }
  return sum;
}

}  // namespace bench
