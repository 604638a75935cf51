// Reads the golden vectors (tests/golden/vectors.txt, written by generate.py
// from an independent model) and runs the library on them. Shared by the unit
// tests and by the consumer projects, so it depends on nothing but the library.
#pragma once

#include <lighting/lighting.hpp>

#include <array>
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

// Runs the five operations on a case's inputs, in the order of the outputs.
inline std::array<std::uint32_t, kOutputCount> evaluate(const GoldenCase& golden) {
  const auto in = [&](int i) { return from_bits(golden.inputs[static_cast<std::size_t>(i)]); };
  const lighting::Vector3 point{in(0), in(1), in(2)};
  const lighting::Vector3 normal{in(3), in(4), in(5)};
  const lighting::Vector3 reflectance{in(6), in(7), in(8)};
  const lighting::PointLight light{{in(9), in(10), in(11)}, in(12), in(13), in(14), in(15)};

  lighting::Vector3 direction{};
  lighting::Vector3 received{};
  lighting::Vector3 diffused{};
  const float distance = lighting::light_distance(point, light);
  lighting::light_direction(point, light, direction);
  const float dot = lighting::dot_product(normal, reflectance);
  lighting::received_energy(point, light, received);
  lighting::diffused_energy(point, normal, reflectance, light, diffused);
  return {bits(distance),   bits(direction.x), bits(direction.y), bits(direction.z),
          bits(dot),        bits(received.x),  bits(received.y),  bits(received.z),
          bits(diffused.x), bits(diffused.y),  bits(diffused.z)};
}

struct Mismatch {
  const GoldenCase* golden;
  int output;
  std::uint32_t actual;
};

inline std::vector<Mismatch> find_mismatches(const std::vector<GoldenCase>& cases) {
  std::vector<Mismatch> mismatches;
  for (const auto& golden : cases) {
    const auto actual = evaluate(golden);
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
// "pow_not_sqrt" cases are built so that the exact square root lies a hair
// from a rounding boundary between two doubles (see generate.py); glibc's
// pow for x86-64 with FMA and for aarch64 rounds them one way, its x87 pow on
// 32-bit x86 (computed in extended precision) and its x86-64 variant for
// processors without FMA may round them the other way, as a correctly rounded
// square root does. Such a case's distance is then one float step away, and
// the received energies, which divide by it, follow. Nothing else may differ.
inline bool platform_pow_may_differ() {
#if defined(__i386__)
  return true;
#elif defined(__x86_64__) && defined(__GNUC__)
  return !(__builtin_cpu_supports("fma") && __builtin_cpu_supports("avx2"));
#else
  return false;
#endif
}

inline bool is_platform_pow_difference(const Mismatch& mismatch) {
  if (!platform_pow_may_differ() || mismatch.golden->name != "pow_not_sqrt") return false;
  const std::uint32_t expected =
      mismatch.golden->expected[static_cast<std::size_t>(mismatch.output)];
  switch (mismatch.output) {
    case 0:  // light_distance: the adjacent float
      return mismatch.actual == expected + 1 || mismatch.actual + 1 == expected;
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
