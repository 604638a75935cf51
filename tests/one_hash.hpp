// The one-hash cases' outputs and their hash: 14 words a case (distance,
// direction, dot product, received, diffused with the case's normal and
// reflectance, diffused on the group's first plane), NaNs as one word. Shared
// by the one-hash test of both flavours, the host run of the GPU's formulas
// and the GPU test.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "determinism_cases.hpp"
#include "float_bits.hpp"

namespace lighting_test::one_hash {

inline constexpr std::uint64_t kSeed = 0x6C69676874696E67u;  // "lighting"
inline constexpr std::size_t kCases = std::size_t{1} << 21;
inline constexpr std::uint64_t kPortableHash = 0xe9682bc4e9060664u;
// After the first 2^18 cases: what platforms under emulation run.
inline constexpr std::size_t kShortCases = std::size_t{1} << 18;
inline constexpr std::uint64_t kPortableHashShort = 0x6c064526882a80dfu;
inline constexpr std::size_t kOutputs = 14;
inline constexpr std::array<const char*, kOutputs> kOutputNames = {
    "light_distance",    "light_direction.x", "light_direction.y", "light_direction.z",
    "dot_product",       "received_energy.x", "received_energy.y", "received_energy.z",
    "diffused_energy.x", "diffused_energy.y", "diffused_energy.z", "one_plane.x",
    "one_plane.y",       "one_plane.z"};

using Outputs = std::array<std::uint32_t, kOutputs>;

// NaNs are one word: their sign and payload are not part of the contract.
inline std::uint32_t canonical(float value) {
  const std::uint32_t word = bits(value);
  return is_nan_bits(word) ? 0x7FC00000u : word;
}

class Hash {
 public:
  void add(std::uint32_t word) {
    state_ = (state_ ^ word) * 0x100000001B3u;
    state_ ^= state_ >> 29;
  }
  void add(const Outputs& outputs) {
    for (const std::uint32_t word : outputs) add(word);
  }
  std::uint64_t value() const { return state_; }

 private:
  std::uint64_t state_ = 0xCBF29CE484222325u;
};

inline void put(Outputs& outputs, std::size_t first, const lighting::Vector3& v) {
  outputs[first] = canonical(v.x);
  outputs[first + 1] = canonical(v.y);
  outputs[first + 2] = canonical(v.z);
}

// A case's outputs from the five functions of `ops`, in the form of
// lighting::Operations: results through out records.
template <class Ops>
Outputs outputs_of(const Ops& ops, const determinism::Group& group, std::size_t i) {
  const determinism::Case& c = group.cases[i];
  const determinism::Case& plane = group.cases[0];
  lighting::Vector3 direction{}, received{}, diffused{}, one_plane{};
  ops.light_direction(c.point, group.light, direction);
  ops.received_energy(c.point, group.light, received);
  ops.diffused_energy(c.point, c.normal, c.reflectance, group.light, diffused);
  ops.diffused_energy(c.point, plane.normal, plane.reflectance, group.light, one_plane);
  Outputs outputs{};
  outputs[0] = canonical(ops.light_distance(c.point, group.light));
  put(outputs, 1, direction);
  outputs[4] = canonical(ops.dot_product(c.normal, c.reflectance));
  put(outputs, 5, received);
  put(outputs, 8, diffused);
  put(outputs, 11, one_plane);
  return outputs;
}

}  // namespace lighting_test::one_hash
