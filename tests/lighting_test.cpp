// The lighting operations on hand-picked cases, compared bit for bit.
#include <lighting/lighting.hpp>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "float_bits.hpp"

namespace {

using lighting::PointLight;
using lighting::Vector3;
using lighting_test::bits;
using lighting_test::is_nan_bits;

// Spelled as bits: the fast-math build of these tests may not fold inf and NaN arithmetic.
constexpr float kInfinity = lighting_test::from_bits(0x7F800000u);
constexpr float kNegativeInfinity = lighting_test::from_bits(0xFF800000u);
constexpr float kNaN = lighting_test::from_bits(0x7FC00000u);

// The demonstration scene: point (1, 2, 0) lit from (-1, 2, 4), 20 units squared away.
constexpr Vector3 kPoint{1.0f, 2.0f, 0.0f};
constexpr Vector3 kNormal{0.0f, 0.0f, 1.0f};
constexpr Vector3 kReflectance{0.5f, 0.5f, 1.0f};
constexpr PointLight kLight{{-1.0f, 2.0f, 4.0f}, 1.0f, 0.5f, 0.5f, 5.0f};

// Checks a vector result against expected bits: -0 and +0 differ, any NaN matches any NaN.
void expect_bits(const Vector3& actual, float x, float y, float z) {
  EXPECT_TRUE(lighting_test::same_result(bits(x), bits(actual.x))) << actual.x << " vs " << x;
  EXPECT_TRUE(lighting_test::same_result(bits(y), bits(actual.y))) << actual.y << " vs " << y;
  EXPECT_TRUE(lighting_test::same_result(bits(z), bits(actual.z))) << actual.z << " vs " << z;
}

Vector3 received(const Vector3& point, const PointLight& light) {
  Vector3 out{};
  lighting::received_energy(point, light, out);
  return out;
}

Vector3 diffused(const Vector3& point, const Vector3& normal, const Vector3& reflectance,
                 const PointLight& light) {
  Vector3 out{};
  lighting::diffused_energy(point, normal, reflectance, light, out);
  return out;
}

TEST(Records, HaveTheFieldsInOrderAndNoPadding) {
  static_assert(sizeof(Vector3) == 12 && sizeof(PointLight) == 28);
  static_assert(std::is_standard_layout_v<Vector3> && std::is_standard_layout_v<PointLight>);
  static_assert(offsetof(PointLight, r) == 12 && offsetof(PointLight, intensity) == 24);
}

TEST(Geometry, WorkedExample) {
  // sqrt(20) rounded to float is the float just above it.
  EXPECT_EQ(bits(lighting::light_distance(kPoint, kLight)), bits(0x1.1e377ap+2f));
  Vector3 direction{};
  lighting::light_direction(kPoint, kLight, direction);
  expect_bits(direction, -0x1.c9f25cp-2f, 0.0f, 0x1.c9f25cp-1f);
  // With the normal (0, 0, 1) the cosine is the direction's z, unchanged.
  EXPECT_EQ(bits(lighting::dot_product(direction, kNormal)), bits(direction.z));
}

TEST(Geometry, PointAtTheLightGivesZeroDistanceAndNaNDirection) {
  const PointLight at_point{kPoint, 1.0f, 1.0f, 1.0f, 1.0f};
  EXPECT_EQ(bits(lighting::light_distance(kPoint, at_point)), bits(0.0f));
  Vector3 direction{};
  lighting::light_direction(kPoint, at_point, direction);
  EXPECT_TRUE(is_nan_bits(bits(direction.x)) && is_nan_bits(bits(direction.y)) &&
              is_nan_bits(bits(direction.z)));
}

TEST(Geometry, DistanceIsNeverNegativeZero) {
  // Every difference is -0; their squares and so the distance are +0.
  const PointLight light{{0.0f, 0.0f, 0.0f}, 1.0f, 1.0f, 1.0f, 1.0f};
  EXPECT_EQ(bits(lighting::light_distance({-0.0f, -0.0f, -0.0f}, light)), bits(0.0f));
}

TEST(Geometry, DotProductRoundsOnce) {
  // 1 + 2^-24 + 2^-24 is exact in double; summed in float each 2^-24 would be lost.
  EXPECT_EQ(bits(lighting::dot_product({1.0f, 1.0f, 1.0f}, {0x1p-24f, 1.0f, 0x1p-24f})),
            bits(0x1.000002p+0f));
}

TEST(Geometry, DifferencesAreTakenInDouble) {
  // 2^30 - 1 is not a float: the distance between 2^30 and 1 needs it exact.
  const PointLight light{{1.0f, 0.0f, 0.0f}, 1.0f, 1.0f, 1.0f, 1.0f};
  EXPECT_EQ(bits(lighting::light_distance({0x1p30f, 0.0f, 0.0f}, light)), bits(0x1p30f));
  const PointLight far{{0x1p25f, 0.0f, 0.0f}, 1.0f, 1.0f, 1.0f, 1.0f};
  // 2^25 - 1 rounds to 2^25 in float; in double it is exact and distance rounds back.
  EXPECT_EQ(bits(lighting::light_distance({1.0f, 0.0f, 0.0f}, far)), bits(0x1p25f));
}

TEST(Energy, WorkedExample) {
  // The falloff is rounded from (1/d)/d with the float d: one step below float(0.05).
  expect_bits(received(kPoint, kLight), 0x1.fffffep-3f, 0x1.fffffep-4f, 0x1.fffffep-4f);
  expect_bits(diffused(kPoint, kNormal, kReflectance, kLight), 0x1.c9f25ap-4f, 0x1.c9f25ap-5f,
              0x1.c9f25ap-4f);
}

TEST(Energy, LightBehindTheSurfaceDiffusesSignedZeros) {
  PointLight behind = kLight;
  behind.position.z = -4.0f;
  expect_bits(diffused(kPoint, kNormal, kReflectance, behind), 0.0f, 0.0f, 0.0f);
  behind.intensity = -5.0f;
  expect_bits(diffused(kPoint, kNormal, kReflectance, behind), -0.0f, -0.0f, -0.0f);
  behind.intensity = 5.0f;
  // An infinite reflectance times the clamped +0 is NaN in that channel alone.
  expect_bits(diffused(kPoint, kNormal, {kInfinity, 0.5f, 1.0f}, behind), kNaN, 0.0f, 0.0f);
}

TEST(Energy, NegativeZeroCosineIsNotClamped) {
  // Direction (-1, -0, -0) against the normal (0, 0, 1): every term is -0, so is the cosine.
  const PointLight in_plane{{-1.0f, -0.0f, -0.0f}, 1.0f, 0.5f, 0.5f, 5.0f};
  expect_bits(diffused({1.0f, 0.0f, 0.0f}, kNormal, kReflectance, in_plane), -0.0f, -0.0f, -0.0f);
  // A +0 cosine stays +0.
  const PointLight level{{-1.0f, 2.0f, 0.0f}, 1.0f, 0.5f, 0.5f, 5.0f};
  expect_bits(diffused(kPoint, kNormal, kReflectance, level), 0.0f, 0.0f, 0.0f);
}

TEST(Energy, InfiniteCosinesClampToZeroAndNaNPasses) {
  // The direction is (-2, +0, 4) / sqrt(20). A normal of -inf along z makes the cosine -inf,
  // clamped to +0; +inf passes on.
  expect_bits(diffused(kPoint, {0.0f, 0.0f, kNegativeInfinity}, kReflectance, kLight), 0.0f, 0.0f,
              0.0f);
  expect_bits(diffused(kPoint, {0.0f, 0.0f, kInfinity}, kReflectance, kLight), kInfinity, kInfinity,
              kInfinity);
  // +inf along y meets the +0 component: the cosine is NaN, which no clamp may turn into 0.
  expect_bits(diffused(kPoint, {0.0f, kInfinity, 0.0f}, kReflectance, kLight), kNaN, kNaN, kNaN);
}

TEST(Energy, LightAtThePointGivesInfinitiesAndNaN) {
  const PointLight at_point{kPoint, -1.0f, 0.0f, 0.5f, 5.0f};
  expect_bits(received(kPoint, at_point), kNegativeInfinity, kNaN, kInfinity);
  expect_bits(diffused(kPoint, kNormal, kReflectance, at_point), kNaN, kNaN, kNaN);
}

// The library divides twice, (1/d)/d, as the falloff is defined. One division
// by d*d would give the same float: d*d is exact in double. Checked here on
// every 499th positive float (every positive float agrees; that run takes
// too long for a unit test), with the library's falloff on some of them.
TEST(Energy, FalloffEqualsOneDivisionBySquare) {
  std::uint32_t differing = 0;
  for (std::uint32_t pattern = 1; pattern < 0x7F800000u; pattern += 499) {
    const double d = double(lighting_test::from_bits(pattern));
    if (bits(static_cast<float>((1.0 / d) / d)) != bits(static_cast<float>(1.0 / (d * d)))) {
      ++differing;
    }
  }
  EXPECT_EQ(differing, 0u);
  for (const float z : {0x1p-140f, 0x1.8p-70f, 3.0f, 0x1.fffffep+60f, 0x1.234566p+100f}) {
    const PointLight above{{0.0f, 0.0f, z}, 1.0f, 1.0f, 1.0f, 1.0f};
    const double d = double(lighting::light_distance({0.0f, 0.0f, 0.0f}, above));
    EXPECT_EQ(bits(received({0.0f, 0.0f, 0.0f}, above).x), bits(static_cast<float>(1.0 / (d * d))))
        << z;
  }
}

TEST(Energy, NormalLengthScalesTheResult) {
  const Vector3 unit = diffused(kPoint, kNormal, kReflectance, kLight);
  const Vector3 doubled = diffused(kPoint, {0.0f, 0.0f, 2.0f}, kReflectance, kLight);
  expect_bits(doubled, 2.0f * unit.x, 2.0f * unit.y, 2.0f * unit.z);
}

TEST(Energy, OnlyTheCosineIsClampedNotTheEnergy) {
  PointLight negative = kLight;
  negative.intensity = -5.0f;
  expect_bits(received(kPoint, negative), -0x1.fffffep-3f, -0x1.fffffep-4f, -0x1.fffffep-4f);
  expect_bits(diffused(kPoint, kNormal, kReflectance, negative), -0x1.c9f25ap-4f, -0x1.c9f25ap-5f,
              -0x1.c9f25ap-4f);
}

TEST(Energy, ZeroChannelsStayInTheirChannel) {
  PointLight no_green = kLight;
  no_green.g = 0.0f;
  expect_bits(diffused(kPoint, kNormal, {0.5f, 0.5f, 0.0f}, no_green), 0x1.c9f25ap-4f, 0.0f, 0.0f);
}

}  // namespace
