// From diffused energy to 8-bit sRGB: times an exposure, clamped to [0, 1],
// encoded with the sRGB transfer curve, rounded to the nearest code.
#pragma once

#include <lighting/lighting.hpp>

#include <array>
#include <cstdint>
#include <span>

namespace render {

// The sRGB code of a linear value, straight from the formula: the reference
// that ToneCurve reproduces exactly.
std::uint8_t srgb_code(double linear);

// srgb_code through a table of the 255 linear values where the code steps
// up, found by bisection on srgb_code itself, so the two agree on every
// double. A lookup starts from the code at the start of one of kBins equal
// bins of [0, 1) and walks up the steps inside the bin (at most two), which
// is several times faster than a binary search over the steps.
struct ToneCurve {
  static constexpr int kBins = 4096;
  double exposure;
  std::array<double, 255> steps;              // steps[k]: the least value whose code is k + 1
  std::array<std::uint8_t, kBins> bin_start;  // the code of bin b's start, b / kBins
};

ToneCurve make_tone_curve(double exposure);

std::uint8_t tone_map(const ToneCurve& curve, float energy);

// One row of energies to RGB bytes (3 per pixel). Pixels with a non-finite
// channel are black; returns how many there were.
std::int64_t tone_map_row(const ToneCurve& curve, std::span<const lighting::Vector3> energy,
                          std::span<std::uint8_t> rgb);

// The exposure that maps the brightest finite channel value to 1, or 1 when
// no value is positive.
double exposure_for(float brightest);

}  // namespace render
