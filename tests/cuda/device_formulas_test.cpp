// The GPU kernels' formulas (lighting/cuda/device_formulas.cuh), run on the
// host with IEEE double operations, against lighting::portable bit for bit:
// on the one-hash cases, whose hash they must reproduce, and on the portable
// golden vectors. The device runs the same template with CUDA's correctly
// rounded intrinsics, which the PTX check holds to the same operations.
#include <gtest/gtest.h>

#include <lighting/lighting.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "../golden_vectors.hpp"
#include "../one_hash.hpp"
#include "host_policy.hpp"

namespace {

using lighting::PointLight;
using lighting::Vector3;
using lighting_test::bits;
using lighting_test::HostFormulas;
namespace one_hash = lighting_test::one_hash;
namespace determinism = lighting_test::determinism;

#ifdef LIGHTING_ONE_HASH_SHORT
constexpr std::size_t kCases = one_hash::kShortCases;
constexpr std::uint64_t kHash = one_hash::kPortableHashShort;
#else
constexpr std::size_t kCases = one_hash::kCases;
constexpr std::uint64_t kHash = one_hash::kPortableHash;
#endif

// The device formulas in the library's form (lighting::Operations, the golden
// vectors): results through out records.
struct DeviceOperations {
  static float light_distance(const Vector3& p, const PointLight& l) {
    return HostFormulas::light_distance(p, l);
  }
  static void light_direction(const Vector3& p, const PointLight& l, Vector3& out) {
    out = HostFormulas::light_direction(p, l);
  }
  static float dot_product(const Vector3& a, const Vector3& b) {
    return HostFormulas::dot_product(a, b);
  }
  static void received_energy(const Vector3& p, const PointLight& l, Vector3& out) {
    out = HostFormulas::received_energy(p, l);
  }
  static void diffused_energy(const Vector3& p, const Vector3& n, const Vector3& r,
                              const PointLight& l, Vector3& out) {
    out = HostFormulas::diffused_energy(p, n, r, l);
  }
};

TEST(DeviceFormulasOnHost, ReproduceThePortableHashOutputForOutput) {
  one_hash::Hash hash;
  std::array<std::size_t, one_hash::kOutputs> differ{};
  std::string first_difference;
  for (std::size_t g = 0; g * determinism::kGroupSize < kCases; ++g) {
    const determinism::Group group = determinism::make_group(one_hash::kSeed, g);
    for (std::size_t i = 0; i < determinism::kGroupSize; ++i) {
      const one_hash::Outputs device = one_hash::outputs_of(DeviceOperations{}, group, i);
      const one_hash::Outputs portable =
          one_hash::outputs_of(lighting::portable::operations(), group, i);
      hash.add(device);
      for (std::size_t o = 0; o < one_hash::kOutputs; ++o) {
        if (device[o] == portable[o]) continue;
        if (differ[o]++ == 0 && first_difference.empty()) {
          first_difference = "case " + std::to_string(g * determinism::kGroupSize + i) +
                             " output " + std::to_string(o);
        }
      }
    }
  }
  for (std::size_t o = 0; o < one_hash::kOutputs; ++o) {
    EXPECT_EQ(differ[o], 0u) << "output " << o << " differs; first: " << first_difference;
  }
  EXPECT_EQ(hash.value(), kHash) << std::hex << hash.value();
}

TEST(DeviceFormulasOnHost, MatchThePortableGoldenVectors) {
  const auto cases = lighting_test::load_golden_cases(LIGHTING_PORTABLE_GOLDEN_VECTORS);
  ASSERT_GT(cases.size(), 100u);
  std::size_t mismatches = 0;
  for (const auto& golden : cases) {
    const auto actual = lighting_test::evaluate_with<DeviceOperations>(golden);
    for (std::size_t o = 0; o < actual.size(); ++o) {
      if (lighting_test::same_result(golden.expected[o], actual[o])) continue;
      ++mismatches;
      ADD_FAILURE() << lighting_test::describe({&golden, static_cast<int>(o), actual[o]});
    }
  }
  EXPECT_EQ(mismatches, 0u);
}

// The light straight above the point along +z and a normal whose products
// with the direction (+0, +0, 1) are all -0: the cosine is -0, which the
// clamp keeps, so every diffused channel is -0. A max, or a clamp written
// as x <= 0, gives +0.
TEST(DeviceFormulasOnHost, ClampKeepsANegativeZeroCosine) {
  const PointLight light{{0.0f, 0.0f, 1.0f}, 1.0f, 0.5f, 0.25f, 2.0f};
  const Vector3 normal{-1.0f, -1.0f, -0.0f};
  const Vector3 out =
      HostFormulas::diffused_energy({0.0f, 0.0f, 0.0f}, normal, {0.5f, 0.5f, 0.5f}, light);
  EXPECT_EQ(bits(out.x), 0x80000000u);
  EXPECT_EQ(bits(out.y), 0x80000000u);
  EXPECT_EQ(bits(out.z), 0x80000000u);
}

TEST(DeviceFormulasOnHost, ClampPassesANaNCosine) {
  const PointLight light{{0.0f, 0.0f, 1.0f}, 1.0f, 0.5f, 0.25f, 2.0f};
  const float nan = lighting_test::from_bits(0x7FC00000u);
  const Vector3 out = HostFormulas::diffused_energy({0.0f, 0.0f, 0.0f}, {nan, 0.0f, 1.0f},
                                                    {0.5f, 0.5f, 0.5f}, light);
  EXPECT_TRUE(lighting_test::is_nan_bits(bits(out.x)));
  EXPECT_TRUE(lighting_test::is_nan_bits(bits(out.z)));
}

// The falloff is (1/d)/d from the rounded distance, one root serving the
// distance and the direction: for the point (1, 2, 0) and the light
// (-1, 2, 4), d = float(sqrt(20)) = 0x1.1e377ap+2 and the cosine with the
// normal (0, 0, 1) is float(4/sqrt(20)).
TEST(DeviceFormulasOnHost, DiffusedEnergyOfTheDemoScene) {
  const PointLight light{{-1.0f, 2.0f, 4.0f}, 1.0f, 0.5f, 0.5f, 5.0f};
  const Vector3 point{1.0f, 2.0f, 0.0f};
  EXPECT_EQ(bits(HostFormulas::light_distance(point, light)), bits(0x1.1e377ap+2f));
  const Vector3 out =
      HostFormulas::diffused_energy(point, {0.0f, 0.0f, 1.0f}, {0.5f, 0.5f, 1.0f}, light);
  Vector3 expected{};
  lighting::portable::diffused_energy(point, {0.0f, 0.0f, 1.0f}, {0.5f, 0.5f, 1.0f}, light,
                                      expected);
  EXPECT_EQ(bits(out.x), bits(expected.x));
  EXPECT_EQ(bits(out.y), bits(expected.y));
  EXPECT_EQ(bits(out.z), bits(expected.z));
}

}  // namespace
