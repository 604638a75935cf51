// The one-hash cases' outputs and their hash, as tests/determinism_test.cpp
// forms them: 14 words a case (distance, direction, dot product, received,
// diffused with the case's normal and reflectance, diffused on the group's
// first plane), NaNs as one word. Shared by the host run of the device
// formulas and the GPU test.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "../determinism_cases.hpp"
#include "../float_bits.hpp"

namespace lighting_test::one_hash {

inline constexpr std::uint64_t kSeed = 0x6C69676874696E67u;  // "lighting"
inline constexpr std::size_t kCases = std::size_t{1} << 21;
inline constexpr std::uint64_t kPortableHash = 0xe9682bc4e9060664u;
// After the first 2^18 cases: what platforms under emulation run.
inline constexpr std::size_t kShortCases = std::size_t{1} << 18;
inline constexpr std::uint64_t kPortableHashShort = 0x6c064526882a80dfu;
inline constexpr std::size_t kOutputs = 14;

using Outputs = std::array<std::uint32_t, kOutputs>;

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

// A case's outputs from five functions of one flavour (Ops: static members
// taking and returning records).
template <class Ops>
Outputs outputs_of(const determinism::Group& group, std::size_t i) {
  const determinism::Case& c = group.cases[i];
  const determinism::Case& plane = group.cases[0];
  Outputs outputs{};
  outputs[0] = canonical(Ops::light_distance(c.point, group.light));
  put(outputs, 1, Ops::light_direction(c.point, group.light));
  outputs[4] = canonical(Ops::dot_product(c.normal, c.reflectance));
  put(outputs, 5, Ops::received_energy(c.point, group.light));
  put(outputs, 8, Ops::diffused_energy(c.point, c.normal, c.reflectance, group.light));
  put(outputs, 11, Ops::diffused_energy(c.point, plane.normal, plane.reflectance, group.light));
  return outputs;
}

// lighting::portable's scalar functions in that form.
struct Portable {
  static float light_distance(const lighting::Vector3& p, const lighting::PointLight& l) {
    return lighting::portable::light_distance(p, l);
  }
  static lighting::Vector3 light_direction(const lighting::Vector3& p,
                                           const lighting::PointLight& l) {
    lighting::Vector3 out{};
    lighting::portable::light_direction(p, l, out);
    return out;
  }
  static float dot_product(const lighting::Vector3& a, const lighting::Vector3& b) {
    return lighting::portable::dot_product(a, b);
  }
  static lighting::Vector3 received_energy(const lighting::Vector3& p,
                                           const lighting::PointLight& l) {
    lighting::Vector3 out{};
    lighting::portable::received_energy(p, l, out);
    return out;
  }
  static lighting::Vector3 diffused_energy(const lighting::Vector3& p, const lighting::Vector3& n,
                                           const lighting::Vector3& r,
                                           const lighting::PointLight& l) {
    lighting::Vector3 out{};
    lighting::portable::diffused_energy(p, n, r, l, out);
    return out;
  }
};

}  // namespace lighting_test::one_hash
