// From diffused energy to 8-bit sRGB: times an exposure, clamped to [0, 1],
// encoded with the sRGB transfer curve, rounded to the nearest code.
#pragma once

#include <lighting/lighting.hpp>

#include <array>
#include <cstddef>
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

// The same codes for one exposure, keyed on the float energy itself: the
// renderer's table, which needs neither floating-point arithmetic nor a
// floating-point mode once built. thresholds[k] is the bit pattern of the
// least float energy whose code srgb_code(energy * exposure) is k + 1 or
// more, found by bisection over float bit patterns. From +0 up, bit patterns
// read as integers are in the order of the values (and a negative float's
// pattern reads as a negative integer, below them all), so an energy's code
// is how many thresholds its bits reach. That needs the code to never fall
// as the energy rises: tone.cpp shows why it does not.
//
// An energy's bin is its bits, clamped to [base, limit], less base, shifted
// right: a rising function of the energy. Its code is first_code[bin] (the
// thresholds below the bin) plus one for each of the next `scan` thresholds
// (the most one bin holds: 1 for ordinary exposures) that its bits reach.
struct ToneTable {
  static constexpr int kBins = 8192;
  double exposure;
  std::int32_t base;   // the lowest threshold (0 if none)
  std::int32_t limit;  // the highest finite threshold (0 if none): any energy above has its code
  int shift;           // bins of 2^shift bit patterns
  int scan;
  std::array<std::int32_t, 256> thresholds;  // [255], and those of codes never reached: +inf
  std::array<std::int32_t, kBins> first_code;
};

ToneTable make_tone_table(double exposure);

// srgb_code(double(energy) * exposure) for every float energy but NaN.
std::uint8_t tone_map(const ToneTable& table, float energy);

// One row of energies to RGB bytes (3 per pixel). Pixels with a non-finite
// channel are black; returns how many there were.
std::int64_t tone_map_row(const ToneTable& table, std::span<const lighting::Vector3> energy,
                          std::span<std::uint8_t> rgb);

namespace detail {
// tone_map for each of `count` floats, on SIMD (tone_kernel.cpp); false if
// any of them is not finite, whose codes are then meaningless.
bool tone_map_values(const ToneTable& table, const float* values, std::size_t count,
                     std::uint8_t* codes);
}  // namespace detail

// The exposure that maps the brightest finite channel value to 1, or 1 when
// no value is positive.
double exposure_for(float brightest);

}  // namespace render
