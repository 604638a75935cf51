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

// srgb_code through tables, agreeing with it on every double. steps holds the
// 255 linear values where the code goes up, found by bisection on srgb_code
// itself. The code never rises by more than 0.81 over a bin of width
// 1 / kBins, so a value's code is its bin's starting code or one more: one
// lookup and one comparison instead of a pow per channel.
struct ToneCurve {
  static constexpr int kBins = 4096;
  double exposure;
  std::array<double, 256> steps;                  // steps[k]: least value with code k + 1;
                                                  // steps[255] = +inf
  std::array<std::uint8_t, kBins + 1> bin_start;  // the code at b / kBins
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
