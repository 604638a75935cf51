// Bit-level views of floats for the tests. Comparisons go through the bits so
// that -0 differs from +0, and NaN is recognised without std::isnan, which
// -ffast-math folds to false.
#pragma once

#include <bit>
#include <cstdint>

namespace lighting_test {

constexpr std::uint32_t bits(float value) {
  return std::bit_cast<std::uint32_t>(value);
}
constexpr float from_bits(std::uint32_t value) {
  return std::bit_cast<float>(value);
}
constexpr bool is_nan_bits(std::uint32_t value) {
  return (value & 0x7FFFFFFFu) > 0x7F800000u;
}

// The library fixes every bit of a result except a NaN's sign and payload.
inline bool same_result(std::uint32_t expected, std::uint32_t actual) {
  return expected == actual || (is_nan_bits(expected) && is_nan_bits(actual));
}

}  // namespace lighting_test
