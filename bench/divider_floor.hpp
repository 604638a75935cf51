// The divider floor of the batch benchmark (divider_floor.cpp).
#pragma once

#include <lighting/lighting.hpp>

#include <cstddef>
#include <cstdint>

namespace bench {

// The floor's arithmetic over the points on Highway's `target` (a
// BatchKernels' target); 0 for a target this program did not compile.
double divider_floor(std::int64_t target, const lighting::Vector3* points, std::size_t count);

}  // namespace bench
