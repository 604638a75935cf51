// Reads the golden vectors (tests/golden/vectors.txt, written by generate.py
// from an independent model) and runs the library on them. Shared by the unit
// tests and by the consumer projects, so it depends on nothing but the library.
#pragma once

#include <lighting/lighting.hpp>

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "float_bits.hpp"

namespace lighting_test {

inline constexpr int kInputCount = 16;
inline constexpr int kOutputCount = 11;

inline constexpr std::array<const char*, kOutputCount> kOutputNames = {
    "light_distance",    "light_direction.x", "light_direction.y", "light_direction.z",
    "dot_product",       "received_energy.x", "received_energy.y", "received_energy.z",
    "diffused_energy.x", "diffused_energy.y", "diffused_energy.z"};

struct GoldenCase {
  std::string name;
  int line = 0;
  std::array<std::uint32_t, kInputCount> inputs{};
  std::array<std::uint32_t, kOutputCount> expected{};
};

inline std::vector<GoldenCase> load_golden_cases(const std::string& path) {
  std::ifstream file(path);
  if (!file) throw std::runtime_error("cannot open golden vectors " + path);
  std::vector<GoldenCase> cases;
  std::string text;
  for (int line = 1; std::getline(file, text); ++line) {
    if (text.empty() || text[0] == '#') continue;
    std::istringstream words(text);
    GoldenCase golden;
    golden.line = line;
    words >> golden.name >> std::hex;
    for (auto& word : golden.inputs) words >> word;
    for (auto& word : golden.expected) words >> word;
    std::string rest;
    if (!words || (words >> rest)) {
      throw std::runtime_error(path + ":" + std::to_string(line) + ": malformed golden vector");
    }
    cases.push_back(golden);
  }
  return cases;
}

// The library's two flavours: namespace lighting (pow roots) and
// lighting::portable (correctly rounded roots).
enum class Flavour { pow, portable };

// Runs the five operations of one flavour on a case's inputs, in the order of
// the outputs.
template <class Operations>
std::array<std::uint32_t, kOutputCount> evaluate_with(const GoldenCase& golden) {
  const auto in = [&](int i) { return from_bits(golden.inputs[static_cast<std::size_t>(i)]); };
  const lighting::Vector3 point{in(0), in(1), in(2)};
  const lighting::Vector3 normal{in(3), in(4), in(5)};
  const lighting::Vector3 reflectance{in(6), in(7), in(8)};
  const lighting::PointLight light{{in(9), in(10), in(11)}, in(12), in(13), in(14), in(15)};

  lighting::Vector3 direction{};
  lighting::Vector3 received{};
  lighting::Vector3 diffused{};
  const float distance = Operations::light_distance(point, light);
  Operations::light_direction(point, light, direction);
  const float dot = Operations::dot_product(normal, reflectance);
  Operations::received_energy(point, light, received);
  Operations::diffused_energy(point, normal, reflectance, light, diffused);
  return {bits(distance),   bits(direction.x), bits(direction.y), bits(direction.z),
          bits(dot),        bits(received.x),  bits(received.y),  bits(received.z),
          bits(diffused.x), bits(diffused.y),  bits(diffused.z)};
}

#define LIGHTING_TEST_OPERATIONS(NAME, NAMESPACE)                                            \
  struct NAME {                                                                              \
    static float light_distance(const lighting::Vector3& p, const lighting::PointLight& l) { \
      return NAMESPACE::light_distance(p, l);                                                \
    }                                                                                        \
    static void light_direction(const lighting::Vector3& p, const lighting::PointLight& l,   \
                                lighting::Vector3& out) {                                    \
      NAMESPACE::light_direction(p, l, out);                                                 \
    }                                                                                        \
    static float dot_product(const lighting::Vector3& a, const lighting::Vector3& b) {       \
      return NAMESPACE::dot_product(a, b);                                                   \
    }                                                                                        \
    static void received_energy(const lighting::Vector3& p, const lighting::PointLight& l,   \
                                lighting::Vector3& out) {                                    \
      NAMESPACE::received_energy(p, l, out);                                                 \
    }                                                                                        \
    static void diffused_energy(const lighting::Vector3& p, const lighting::Vector3& n,      \
                                const lighting::Vector3& r, const lighting::PointLight& l,   \
                                lighting::Vector3& out) {                                    \
      NAMESPACE::diffused_energy(p, n, r, l, out);                                           \
    }                                                                                        \
  };
LIGHTING_TEST_OPERATIONS(PowOperations, lighting)
LIGHTING_TEST_OPERATIONS(PortableOperations, lighting::portable)
#undef LIGHTING_TEST_OPERATIONS

inline std::array<std::uint32_t, kOutputCount> evaluate(const GoldenCase& golden,
                                                        Flavour flavour = Flavour::pow) {
  return flavour == Flavour::pow ? evaluate_with<PowOperations>(golden)
                                 : evaluate_with<PortableOperations>(golden);
}

struct Mismatch {
  const GoldenCase* golden;
  int output;
  std::uint32_t actual;
};

inline std::vector<Mismatch> find_mismatches(const std::vector<GoldenCase>& cases,
                                             Flavour flavour = Flavour::pow) {
  std::vector<Mismatch> mismatches;
  for (const auto& golden : cases) {
    const auto actual = evaluate(golden, flavour);
    for (int i = 0; i < kOutputCount; ++i) {
      const auto index = static_cast<std::size_t>(i);
      if (!same_result(golden.expected[index], actual[index])) {
        mismatches.push_back({&golden, i, actual[index]});
      }
    }
  }
  return mismatches;
}

// The one input the library does not control is the C library's pow. The
// "pow_not_sqrt" cases are sums of squares s whose square root lies a hair
// below a rounding boundary between two doubles (see generate.py): glibc's
// pow for x86-64 with FMA and for aarch64 rounds them up, and the float
// distance with them, while its x87 pow on 32-bit x86 and its x86-64 variant
// for processors without FMA round some of them down, as a correctly rounded
// square root does. Which pow is in use is read from pow itself, evaluated on
// each witness, not from processor flags, which a C library may override.
// Where this platform's pow rounds a witness differently, the distance must
// be the float of this platform's pow, and the received energy, which divides
// by it, may differ; nothing else may.
inline bool is_pow_witness(const GoldenCase& golden) {
  return golden.name == "pow_not_sqrt";
}

// float(pow(s, 0.5)) for a witness's s, from this platform's pow. The sums are
// integers below 2^53, so any order of the additions, fused or not, is exact;
// the exponent is read through a volatile so that no compiler turns the call
// into a square root.
inline std::uint32_t platform_pow_distance(const GoldenCase& golden) {
  double sum = 0.0;
  for (std::size_t axis = 0; axis < 3; ++axis) {
    const double difference =
        double(from_bits(golden.inputs[axis])) - double(from_bits(golden.inputs[9 + axis]));
    sum += difference * difference;
  }
  volatile double half = 0.5;
  return bits(static_cast<float>(std::pow(sum, half)));
}

inline bool pow_rounds_witness_differently(const GoldenCase& golden) {
  return is_pow_witness(golden) && platform_pow_distance(golden) != golden.expected[0];
}

// How many witnesses this platform's pow rounds differently: 0 for the reference pow.
inline std::size_t count_pow_differences(const std::vector<GoldenCase>& cases) {
  std::size_t count = 0;
  for (const auto& golden : cases)
    if (pow_rounds_witness_differently(golden)) ++count;
  return count;
}

inline bool is_platform_pow_difference(const Mismatch& mismatch) {
  if (!pow_rounds_witness_differently(*mismatch.golden)) return false;
  switch (mismatch.output) {
    case 0:  // light_distance: exactly what this platform's pow gives
      return mismatch.actual == platform_pow_distance(*mismatch.golden);
    case 5:
    case 6:
    case 7:  // received energy, from that distance
      return true;
    default:
      return false;
  }
}

// Mismatches that are not platform pow differences.
inline std::vector<Mismatch> unexplained(const std::vector<Mismatch>& mismatches) {
  std::vector<Mismatch> left;
  for (const auto& mismatch : mismatches) {
    if (!is_platform_pow_difference(mismatch)) left.push_back(mismatch);
  }
  return left;
}

inline std::string describe(const Mismatch& mismatch) {
  std::ostringstream text;
  text << "line " << mismatch.golden->line << " (" << mismatch.golden->name
       << "): " << kOutputNames[static_cast<std::size_t>(mismatch.output)] << " expected 0x"
       << std::hex << mismatch.golden->expected[static_cast<std::size_t>(mismatch.output)]
       << ", got 0x" << mismatch.actual;
  return text.str();
}

}  // namespace lighting_test
