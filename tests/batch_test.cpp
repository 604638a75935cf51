// The batch functions against the scalar ones, bit for bit, on every SIMD
// target this processor runs (each selected in turn), for golden, random,
// constructed and renderer-like inputs, every small size and alignment, in
// place, under a hostile caller environment; and their argument checks.
#include <lighting/lighting.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#if defined(__x86_64__) || (defined(__i386__) && defined(__SSE__))
#include <xmmintrin.h>
#endif

#include "batch_kernel.hpp"
#include "float_bits.hpp"
#include "golden_vectors.hpp"
#include "using_target.hpp"

#ifndef LIGHTING_BATCH_RANDOM_POINTS
#define LIGHTING_BATCH_RANDOM_POINTS 10000000
#endif

namespace {

using lighting::PointLight;
using lighting::Vector3;
using lighting_test::bits;
using lighting_test::from_bits;

std::array<std::uint32_t, 3> bits_of(const Vector3& v) {
  return {bits(v.x), bits(v.y), bits(v.z)};
}

bool same(const Vector3& expected, const Vector3& actual) {
  const auto e = bits_of(expected);
  const auto a = bits_of(actual);
  for (std::size_t i = 0; i < 3; ++i) {
    if (!lighting_test::same_result(e[i], a[i])) return false;
  }
  return true;
}

std::string show(const Vector3& v) {
  char text[64];
  std::snprintf(text, sizeof text, "(%a, %a, %a)", double(v.x), double(v.y), double(v.z));
  return text;
}

using lighting_test::UsingTarget;

// A build without Highway has one target, the scalar formulas in a loop:
// nothing to dispatch and no near ties to recompute.
bool simd_batches() {
  const auto targets = lighting::batch_targets();
  return !(targets.size() == 1 && targets.front() == "scalar-loop");
}

// One batch problem: points under one light, with per-point surfaces.
struct Batch {
  std::vector<Vector3> points, normals, reflectances;
  PointLight light{};
  Vector3 normal{}, reflectance{};  // the one plane
};

struct Expected {
  std::vector<Vector3> received, one_plane, per_point;
};

using lighting::detail::Flavour;

// The public functions of one flavour: lighting::f or lighting::portable::f.
struct Functions {
  void (*received)(const Vector3&, const PointLight&, Vector3&) noexcept;
  void (*diffused)(const Vector3&, const Vector3&, const Vector3&, const PointLight&,
                   Vector3&) noexcept;
  void (*received_batch)(std::span<const Vector3>, const PointLight&, std::span<Vector3>);
  void (*one_plane_batch)(std::span<const Vector3>, const Vector3&, const Vector3&,
                          const PointLight&, std::span<Vector3>);
  void (*per_point_batch)(std::span<const Vector3>, std::span<const Vector3>,
                          std::span<const Vector3>, const PointLight&, std::span<Vector3>);
};

Functions functions_of(Flavour flavour) {
  if (flavour == Flavour::pow) {
    return {&lighting::received_energy, &lighting::diffused_energy, &lighting::received_energy,
            &lighting::diffused_energy, &lighting::diffused_energy};
  }
  return {&lighting::portable::received_energy, &lighting::portable::diffused_energy,
          &lighting::portable::received_energy, &lighting::portable::diffused_energy,
          &lighting::portable::diffused_energy};
}

constexpr Flavour kFlavours[] = {Flavour::pow, Flavour::portable};

const char* name_of(Flavour flavour) {
  return flavour == Flavour::pow ? "pow" : "portable";
}

Expected scalar_results(const Batch& batch, Flavour flavour = Flavour::pow) {
  const Functions f = functions_of(flavour);
  Expected expected;
  const std::size_t n = batch.points.size();
  expected.received.resize(n);
  expected.one_plane.resize(n);
  expected.per_point.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    f.received(batch.points[i], batch.light, expected.received[i]);
    f.diffused(batch.points[i], batch.normal, batch.reflectance, batch.light,
               expected.one_plane[i]);
    f.diffused(batch.points[i], batch.normals[i], batch.reflectances[i], batch.light,
               expected.per_point[i]);
  }
  return expected;
}

// Runs the three batch functions and counts the elements that differ from
// the scalar results; reports the first few.
std::size_t count_differences(const Batch& batch, const Expected& expected, std::size_t report = 3,
                              Flavour flavour = Flavour::pow) {
  const Functions f = functions_of(flavour);
  const std::size_t n = batch.points.size();
  std::vector<Vector3> out(n);
  std::size_t differences = 0;
  const auto compare = [&](const std::vector<Vector3>& want, const char* what) {
    for (std::size_t i = 0; i < n; ++i) {
      if (same(want[i], out[i])) continue;
      if (differences++ < report) {
        ADD_FAILURE() << name_of(flavour) << " " << what << " #" << i << " of " << n << ": point "
                      << show(batch.points[i]) << " expected " << show(want[i]) << " got "
                      << show(out[i]);
      }
    }
  };
  f.received_batch(batch.points, batch.light, out);
  compare(expected.received, "received_energy");
  f.one_plane_batch(batch.points, batch.normal, batch.reflectance, batch.light, out);
  compare(expected.one_plane, "diffused_energy (one plane)");
  f.per_point_batch(batch.points, batch.normals, batch.reflectances, batch.light, out);
  compare(expected.per_point, "diffused_energy (per point)");
  return differences;
}

void expect_all_targets_match(const Batch& batch) {
  for (const Flavour flavour : kFlavours) {
    const Expected expected = scalar_results(batch, flavour);
    for (const auto target : lighting::batch_targets()) {
      SCOPED_TRACE(std::string("target ") + std::string(target) + ", " + name_of(flavour));
      const UsingTarget using_target(target);
      EXPECT_EQ(count_differences(batch, expected, 3, flavour), 0u);
    }
  }
}

// --- inputs -----------------------------------------------------------------

// Floats of mixed kinds: ordinary scene values, random bit patterns, specials,
// subnormals and any binade.
class MixedFloats {
 public:
  explicit MixedFloats(std::uint32_t seed) : random_(seed) {}

  float any() {
    switch (pick(8)) {
      case 0:
      case 1:
      case 2:
        return uniform(-10.0f, 10.0f);
      case 3:
        return from_bits(static_cast<std::uint32_t>(random_()));
      case 4:
        return special();
      case 5:
        return subnormal();
      default:
        return wide();
    }
  }
  float uniform(float low, float high) {
    return std::uniform_real_distribution<float>(low, high)(random_);
  }
  float special() {
    static constexpr std::array<std::uint32_t, 12> kSpecials = {
        0x00000000u, 0x80000000u, 0x7F800000u, 0xFF800000u, 0x7FC00000u, 0x7F7FFFFFu,
        0xFF7FFFFFu, 0x00000001u, 0x00800000u, 0x3F800000u, 0x5F800000u, 0x1F800000u};
    return from_bits(kSpecials[pick(kSpecials.size())]);
  }
  float subnormal() {
    const auto mantissa = static_cast<std::uint32_t>(random_()) & 0x007FFFFFu;
    return from_bits(mantissa | (pick(2) != 0 ? 0x80000000u : 0u));
  }
  float wide() {  // any finite binade, sign and mantissa
    const auto exponent = static_cast<std::uint32_t>(1 + pick(254)) << 23;
    const auto rest = static_cast<std::uint32_t>(random_()) & 0x807FFFFFu;
    return from_bits(exponent | rest);
  }
  Vector3 triple() { return {any(), any(), any()}; }
  Vector3 scene_triple() {
    return {uniform(-10.0f, 10.0f), uniform(-10.0f, 10.0f), uniform(-10.0f, 10.0f)};
  }
  std::size_t pick(std::size_t count) {
    return std::uniform_int_distribution<std::size_t>(0, count - 1)(random_);
  }

 private:
  std::mt19937 random_;
};

Batch random_batch(MixedFloats& floats, std::size_t size) {
  Batch batch;
  const bool scene = floats.pick(4) == 0;  // a quarter are all ordinary values
  const auto triple = [&] { return scene ? floats.scene_triple() : floats.triple(); };
  batch.light = {triple(), floats.any(), floats.any(), floats.any(), floats.any()};
  if (scene) batch.light = {triple(), 1.0f, 0.5f, 0.25f, floats.uniform(0.0f, 50.0f)};
  batch.normal = triple();
  batch.reflectance = triple();
  for (std::size_t i = 0; i < size; ++i) {
    batch.points.push_back(triple());
    batch.normals.push_back(triple());
    batch.reflectances.push_back(triple());
  }
  return batch;
}

// --- the targets ------------------------------------------------------------

TEST(BatchTargets, ListThePortableTargetAndTheOneInUse) {
  const auto targets = lighting::batch_targets();
  ASSERT_FALSE(targets.empty());
  const auto has = [&](std::string_view name) {
    return std::find(targets.begin(), targets.end(), name) != targets.end();
  };
  EXPECT_TRUE(has("scalar") || has("emu128") || has("scalar-loop") || !simd_batches())
      << "the portable target is always there";
  EXPECT_TRUE(has(lighting::batch_target()));
  std::printf("[          ] batch targets:");
  for (const auto target : targets) std::printf(" %.*s", int(target.size()), target.data());
  const auto in_use = lighting::batch_target();
  std::printf(" (in use: %.*s)\n", int(in_use.size()), in_use.data());
  if (!simd_batches()) return;
#if defined(__x86_64__) && defined(__GNUC__)
  EXPECT_EQ(has("avx512"),
            __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl"));
  if (has("avx2")) {
    EXPECT_TRUE(__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"));
  }
#elif defined(__aarch64__)
  EXPECT_TRUE(has("neon"));
#endif
}

// Listing the targets first is what once made the choice miss the targets of
// one vector length (sve2_128 at 128 bits, sve_256 at 256).
TEST(BatchTargets, TheBestIsInUseUnlessOneIsRequested) {
  if (std::getenv("LIGHTING_BATCH_TARGET") != nullptr) GTEST_SKIP() << "a target is requested";
  const auto targets = lighting::batch_targets();
  ASSERT_FALSE(targets.empty());
  EXPECT_EQ(lighting::batch_target(), targets.front());
}

TEST(BatchTargets, UnknownNamesAreRefused) {
  EXPECT_FALSE(lighting::detail::use_batch_target("avx9000"));
  EXPECT_FALSE(lighting::detail::use_batch_target("AVX2"));  // names are lower case
  const auto before = lighting::batch_target();
  EXPECT_FALSE(lighting::detail::use_batch_target("sse"));
  EXPECT_EQ(lighting::batch_target(), before);
}

TEST(BatchTargets, EachCanBeSelected) {
  for (const auto target : lighting::batch_targets()) {
    const UsingTarget using_target(target);
    EXPECT_EQ(lighting::batch_target(), target);
  }
}

// --- bits ---------------------------------------------------------------------

// Each golden case's own light, normal and reflectance over its point and the
// points of the next seven cases, so each case also sits in lanes 1 to 7.
TEST(BatchBits, GoldenVectors) {
  const auto cases = lighting_test::load_golden_cases(LIGHTING_GOLDEN_VECTORS);
  ASSERT_GT(cases.size(), 1000u);
  const auto in = [&](std::size_t c, int i) {
    return from_bits(cases[c % cases.size()].inputs[static_cast<std::size_t>(i)]);
  };
  Batch all;
  for (std::size_t c = 0; c < cases.size(); ++c) {
    Batch batch;
    batch.light = {{in(c, 9), in(c, 10), in(c, 11)}, in(c, 12), in(c, 13), in(c, 14), in(c, 15)};
    batch.normal = {in(c, 3), in(c, 4), in(c, 5)};
    batch.reflectance = {in(c, 6), in(c, 7), in(c, 8)};
    for (std::size_t k = c; k < c + 8; ++k) {
      batch.points.push_back({in(k, 0), in(k, 1), in(k, 2)});
      batch.normals.push_back({in(k, 3), in(k, 4), in(k, 5)});
      batch.reflectances.push_back({in(k, 6), in(k, 7), in(k, 8)});
    }
    for (const Flavour flavour : kFlavours) {
      const Expected expected = scalar_results(batch, flavour);
      for (const auto target : lighting::batch_targets()) {
        SCOPED_TRACE("golden line " + std::to_string(cases[c].line) + " (" + cases[c].name +
                     "), target " + std::string(target) + ", " + name_of(flavour));
        const UsingTarget using_target(target);
        ASSERT_EQ(count_differences(batch, expected, 3, flavour), 0u);
      }
    }
  }
}

// How many random points: LIGHTING_BATCH_RANDOM_POINTS from the environment
// (a positive decimal count), else the build's default, smaller where each
// point is slow (Debug, sanitizers, emulation).
std::size_t random_point_count() {
  if (const char* text = std::getenv("LIGHTING_BATCH_RANDOM_POINTS")) {
    char* end = nullptr;
    const unsigned long long count = std::strtoull(text, &end, 10);
    if (end != text && *end == '\0' && count > 0) return static_cast<std::size_t>(count);
    ADD_FAILURE() << "LIGHTING_BATCH_RANDOM_POINTS is not a positive count: " << text;
  }
  return LIGHTING_BATCH_RANDOM_POINTS;
}

TEST(BatchBits, MixedRandomInputs) {
  MixedFloats floats(20240607);
  const std::uint64_t fallbacks_before = lighting::detail::batch_fallback_lanes();
  const std::size_t wanted = random_point_count();
  std::size_t points = 0;
  std::size_t portable_points = 0;
  std::size_t differences = 0;
  std::size_t batches = 0;
  while (points < wanted) {
    const Batch batch = random_batch(floats, 1 + floats.pick(2048));
    points += batch.points.size();
    // The portable flavour on every fourth batch: its vector path is the
    // same, only its scalar root and windows differ.
    const bool portable_too = batches++ % 4 == 0;
    if (portable_too) portable_points += batch.points.size();
    for (const Flavour flavour : kFlavours) {
      if (flavour == Flavour::portable && !portable_too) continue;
      const Expected expected = scalar_results(batch, flavour);
      for (const auto target : lighting::batch_targets()) {
        SCOPED_TRACE(std::string("target ") + std::string(target) + ", " + name_of(flavour));
        const UsingTarget using_target(target);
        differences += count_differences(batch, expected, 3, flavour);
      }
    }
    ASSERT_EQ(differences, 0u);
  }
  std::printf(
      "[          ] %zu random points (%zu portable) per target and function, %llu lanes "
      "recomputed\n",
      points, portable_points,
      static_cast<unsigned long long>(lighting::detail::batch_fallback_lanes() - fallbacks_before));
}

// The renderer's case: one plane, a regular grid of points, a light above.
TEST(BatchBits, RendererLikeGrid) {
  Batch batch;
  batch.light = {{-1.0f, 2.0f, 4.0f}, 1.0f, 0.5f, 0.5f, 5.0f};
  batch.normal = {0.0f, 0.0f, 1.0f};
  batch.reflectance = {0.5f, 0.5f, 1.0f};
  constexpr int kSide = 512;
  for (int row = 0; row < kSide; ++row) {
    for (int column = 0; column < kSide; ++column) {
      const float x = -5.0f + 10.0f * (float(column) + 0.5f) / float(kSide);
      const float y = -5.0f + 10.0f * (float(row) + 0.5f) / float(kSide);
      batch.points.push_back({x, y, 0.0f});
      batch.normals.push_back(batch.normal);
      batch.reflectances.push_back(batch.reflectance);
    }
  }
  expect_all_targets_match(batch);
}

// Every size from 0 to a few vectors of the widest target, at every start
// within a 64-byte line, written between guard elements that must survive.
TEST(BatchBits, EverySizeAndAlignment) {
  MixedFloats floats(7);
  constexpr std::size_t kMaxSize = 4 * 32 + 3;  // four vectors of 2048-bit SVE, and a tail
  constexpr std::size_t kGuard = 8;
  constexpr Vector3 kSentinel{from_bits(0x7FC5A5A5u), from_bits(0x12345678u), -0.0f};
  const Batch source = random_batch(floats, kMaxSize + 16);
  for (const Flavour flavour : kFlavours) {
    const Functions f = functions_of(flavour);
    const Expected expected = scalar_results(source, flavour);
    for (const auto target : lighting::batch_targets()) {
      SCOPED_TRACE(std::string("target ") + std::string(target) + ", " + name_of(flavour));
      const UsingTarget using_target(target);
      for (std::size_t size = 0; size <= kMaxSize; ++size) {
        for (std::size_t start = 0; start < 16; ++start) {
          const auto points = std::span(source.points).subspan(start, size);
          std::vector<Vector3> buffer(size + 2 * kGuard + 16, kSentinel);
          const auto out = std::span(buffer).subspan(kGuard + start, size);
          f.per_point_batch(points, std::span(source.normals).subspan(start, size),
                            std::span(source.reflectances).subspan(start, size), source.light, out);
          for (std::size_t i = 0; i < buffer.size(); ++i) {
            const bool inside = i >= kGuard + start && i < kGuard + start + size;
            const bool ok = inside
                                ? same(expected.per_point[start + (i - kGuard - start)], buffer[i])
                                : bits_of(buffer[i]) == bits_of(kSentinel);
            ASSERT_TRUE(ok) << "size " << size << ", start " << start << ", element " << i;
          }
          f.received_batch(points, source.light, out);
          for (std::size_t i = 0; i < size; ++i) {
            ASSERT_TRUE(same(expected.received[start + i], out[i])) << size << " " << start;
          }
          EXPECT_EQ(bits_of(buffer[kGuard + start + size]), bits_of(kSentinel));
          EXPECT_EQ(bits_of(buffer[kGuard + start - 1]), bits_of(kSentinel));
        }
      }
    }
  }
}

TEST(BatchBits, InPlace) {
  MixedFloats floats(99);
  const Batch batch = random_batch(floats, 1000);
  for (const Flavour flavour : kFlavours) {
    const Functions f = functions_of(flavour);
    const Expected expected = scalar_results(batch, flavour);
    for (const auto target : lighting::batch_targets()) {
      SCOPED_TRACE(std::string("target ") + std::string(target) + ", " + name_of(flavour));
      const UsingTarget using_target(target);
      std::vector<Vector3> data = batch.points;
      f.received_batch(data, batch.light, data);
      for (std::size_t i = 0; i < data.size(); ++i) {
        ASSERT_TRUE(same(expected.received[i], data[i]));
      }
      data = batch.points;
      f.one_plane_batch(data, batch.normal, batch.reflectance, batch.light, data);
      for (std::size_t i = 0; i < data.size(); ++i) {
        ASSERT_TRUE(same(expected.one_plane[i], data[i]));
      }
      data = batch.points;
      f.per_point_batch(data, batch.normals, batch.reflectances, batch.light, data);
      for (std::size_t i = 0; i < data.size(); ++i) {
        ASSERT_TRUE(same(expected.per_point[i], data[i]));
      }
    }
  }
}

// --- constructed near ties --------------------------------------------------
//
// With s = X^2 + 1 for an integer X a little above 2^26, the exact root
// X + 1/(2X) lies just below the midpoint between the doubles X and X + 2^-26,
// closer the nearer X is to 2^26; sqrt rounds it down to X, and for X around
// 2^26 + 2^16..2^18 the C library's pow(s, 0.5) rounds about one in ten of
// them up. The components are dx = X (a float difference: X - X mod 8 minus
// -(X mod 8)) and dy = 1.
//  - Distance: X an odd multiple of 4 is a float midpoint, so sqrt's X rounds
//    to even and pow's X + 2^-26 rounds up: the distances differ when the
//    even neighbour is the lower one (X = 4 mod 16).
//  - Direction: a third component dz below 1/2 leaves s unchanged (its square
//    is under half an ulp of s), and is chosen, to 2^-49, so that dz / length
//    sits between a float midpoint computed with one length and the other.

struct HardCase {
  Vector3 point;
  PointLight light;
};

double pow_half(double s) {
  volatile double half = 0.5;  // keeps the compiler from turning pow into sqrt
  return std::pow(s, half);
}

HardCase case_with(std::int64_t x, double dz, int scale) {
  const auto residue = static_cast<float>(x % 8);
  const float light_x = static_cast<float>(x) - residue;  // a multiple of 8 below 2^27: exact
  const float light_z = static_cast<float>(dz);
  const auto point_z = static_cast<float>(double(light_z) - dz);  // exact by construction
  HardCase hard{{-residue, 0.0f, point_z}, {{light_x, 1.0f, light_z}, 1.0f, 1.0f, 1.0f, 1.0f}};
  const auto scaled = [&](float v) { return std::ldexp(v, scale); };
  hard.point = {scaled(hard.point.x), scaled(hard.point.y), scaled(hard.point.z)};
  hard.light.position = {scaled(hard.light.position.x), scaled(hard.light.position.y),
                         scaled(hard.light.position.z)};
  return hard;
}

// The length and the quotient dz / length as the kernel's square root gives them.
struct SqrtModel {
  float distance;
  float direction_z;
};

SqrtModel sqrt_model(const HardCase& hard) {
  const double dx = double(hard.light.position.x) - double(hard.point.x);
  const double dy = double(hard.light.position.y) - double(hard.point.y);
  const double dz = double(hard.light.position.z) - double(hard.point.z);
  const double length = std::sqrt((dx * dx + dy * dy) + dz * dz);
  return {static_cast<float>(length), static_cast<float>(dz / length)};
}

std::vector<HardCase> hard_distance_cases() {
  std::vector<HardCase> cases;
  for (std::int64_t i = 1 << 16; i < (1 << 18); i += 16) {
    const std::int64_t x = (std::int64_t{1} << 26) + i + 4;  // 4 mod 16
    const double s = double(x * x + 1);
    if (pow_half(s) == std::sqrt(s)) continue;
    for (const int scale : {0, -20, 17}) {
      const HardCase hard = case_with(x, 0.0, scale);
      if (lighting::light_distance(hard.point, hard.light) != sqrt_model(hard).distance) {
        cases.push_back(hard);
      }
    }
  }
  return cases;
}

std::vector<HardCase> hard_direction_cases() {
  std::vector<HardCase> cases;
  std::mt19937 random(5);
  std::uniform_real_distribution<double> quarter_to_half(0.25, 0.5);
  for (std::int64_t i = 1 << 16; i < (1 << 18) && cases.size() < 2000; i += 3) {
    const std::int64_t x = (std::int64_t{1} << 26) + i;
    const double s = double(x * x + 1);
    const double pow_length = pow_half(s);
    const double sqrt_length = std::sqrt(s);
    if (pow_length == sqrt_length) continue;
    // A float midpoint near a random quotient, and dz that puts the quotient on it.
    const double quotient = quarter_to_half(random) / sqrt_length;
    const auto nearest = static_cast<float>(quotient);
    const double midpoint = (double(nearest) + double(std::nextafter(nearest, 1.0f))) / 2;
    const double grid = 0x1p-49;
    const double target = std::round(midpoint * sqrt_length / grid) * grid;
    for (int k = -8; k <= 8; ++k) {
      const HardCase hard = case_with(x, target + k * grid, 0);
      Vector3 direction{};
      lighting::light_direction(hard.point, hard.light, direction);
      if (direction.z != sqrt_model(hard).direction_z) {
        cases.push_back(hard);
        break;
      }
    }
  }
  return cases;
}

bool platform_pow_like_glibc_fma() {
#if defined(__aarch64__)
  return true;
#elif defined(__x86_64__) && defined(__GNUC__) && defined(__GLIBC__)
  return __builtin_cpu_supports("fma") && __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}

// Each hard case alone and in lane 3 of a batch of 21 ordinary points.
Batch hard_batch(const HardCase& hard, bool alone) {
  Batch batch;
  batch.light = hard.light;
  batch.normal = {0.0f, 0.0f, 1.0f};
  batch.reflectance = {1.0f, 1.0f, 1.0f};
  const std::size_t size = alone ? 1 : 21;
  for (std::size_t i = 0; i < size; ++i) {
    Vector3 point = hard.point;
    if (!alone && i != 3) point.y += float(i);  // no longer a near tie
    batch.points.push_back(point);
    batch.normals.push_back(batch.normal);
    batch.reflectances.push_back(batch.reflectance);
  }
  return batch;
}

// Differences on the hard cases with the near-tie check on or off.
std::size_t hard_case_differences(const std::vector<HardCase>& cases, bool check,
                                  Flavour flavour = Flavour::pow) {
  lighting::detail::set_batch_tie_check(check);
  std::size_t differences = 0;
  for (const auto& hard : cases) {
    for (const bool alone : {true, false}) {
      const Batch batch = hard_batch(hard, alone);
      const std::size_t report = check ? 3 : 0;
      if (count_differences(batch, scalar_results(batch, flavour), report, flavour) != 0) {
        ++differences;
      }
    }
  }
  lighting::detail::set_batch_tie_check(true);
  return differences;
}

class BatchNearTies : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    distance_cases_ = new std::vector<HardCase>(hard_distance_cases());
    direction_cases_ = new std::vector<HardCase>(hard_direction_cases());
    std::printf("[          ] constructed %zu distance and %zu direction near ties\n",
                distance_cases_->size(), direction_cases_->size());
  }
  static void TearDownTestSuite() {
    delete distance_cases_;
    delete direction_cases_;
  }
  static std::vector<HardCase>* distance_cases_;
  static std::vector<HardCase>* direction_cases_;
};
std::vector<HardCase>* BatchNearTies::distance_cases_ = nullptr;
std::vector<HardCase>* BatchNearTies::direction_cases_ = nullptr;

TEST_F(BatchNearTies, ConstructionFindsCasesWherePowAndSqrtDiffer) {
  if (!platform_pow_like_glibc_fma()) {
    GTEST_SKIP() << "this C library's pow rounds these near ties like sqrt; found "
                 << distance_cases_->size() << " and " << direction_cases_->size();
  }
  EXPECT_GE(distance_cases_->size(), 100u);
  EXPECT_GE(direction_cases_->size(), 100u);
}

TEST_F(BatchNearTies, MatchTheScalarFunctionsOnEveryTarget) {
  const std::uint64_t before = lighting::detail::batch_fallback_lanes();
  for (const auto target : lighting::batch_targets()) {
    SCOPED_TRACE(std::string("target ") + std::string(target));
    const UsingTarget using_target(target);
    for (const Flavour flavour : kFlavours) {
      SCOPED_TRACE(name_of(flavour));
      EXPECT_EQ(hard_case_differences(*distance_cases_, true, flavour), 0u);
      EXPECT_EQ(hard_case_differences(*direction_cases_, true, flavour), 0u);
    }
  }
  if (!distance_cases_->empty() && simd_batches()) {
    EXPECT_GT(lighting::detail::batch_fallback_lanes(), before);
  }
}

TEST_F(BatchNearTies, FailWithoutTheCheck) {
  if (!simd_batches()) GTEST_SKIP() << "the scalar loop computes every point exactly";
  if (!platform_pow_like_glibc_fma()) {
    GTEST_SKIP() << "this C library's pow rounds these near ties like sqrt: without the check "
                    "the square root gives the same floats";
  }
  for (const auto target : lighting::batch_targets()) {
    SCOPED_TRACE(std::string("target ") + std::string(target));
    const UsingTarget using_target(target);
    const std::size_t distance_failures = hard_case_differences(*distance_cases_, false);
    const std::size_t direction_failures = hard_case_differences(*direction_cases_, false);
    if (lighting::detail::batch_kernels().pow.estimate) {
      // The estimate's length and quotients lie within a few ulps of the
      // exact ones, which these cases put next to a midpoint: without the
      // windows a good share of them round the other way.
      EXPECT_GE(distance_failures, distance_cases_->size() / 2)
          << "of " << 2 * distance_cases_->size();
      EXPECT_GE(direction_failures, direction_cases_->size() / 4)
          << "of " << 2 * direction_cases_->size();
      continue;
    }
    // A distance one float step off changes the received energy every time.
    EXPECT_EQ(distance_failures, 2 * distance_cases_->size());
    // A direction one step off changes the cosine; the diffused energy, a
    // product rounded once more, nearly always follows.
    EXPECT_GE(direction_failures, direction_cases_->size())
        << "of " << 2 * direction_cases_->size();
  }
}

// --- the caller's environment -----------------------------------------------

class BatchCallerEnvironment : public ::testing::Test {
 protected:
  void SetUp() override { std::fegetenv(&saved_); }
  void TearDown() override { std::fesetenv(&saved_); }

 private:
  std::fenv_t saved_{};
};

#if defined(__x86_64__) || (defined(__i386__) && defined(__SSE__))
constexpr std::uint32_t kDefaultControls = 0x1F80u;
std::uint32_t control_register() {
  return _mm_getcsr() & 0xFFC0u;
}
void set_control_register(std::uint32_t controls) {
  _mm_setcsr((_mm_getcsr() & 0x3Fu) | controls);
}
#elif defined(__aarch64__)
constexpr std::uint32_t kDefaultControls = 0;
std::uint32_t control_register() {
  std::uint64_t fpcr;
  asm volatile("mrs %0, fpcr" : "=r"(fpcr));
  return static_cast<std::uint32_t>(fpcr);
}
void set_control_register(std::uint32_t controls) {
  const std::uint64_t fpcr = controls;
  asm volatile("msr fpcr, %0" : : "r"(fpcr));
}
#endif

TEST_F(BatchCallerEnvironment, HostileSettingsChangeNoBitAndAreRestored) {
#if defined(__x86_64__) || (defined(__i386__) && defined(__SSE__)) || defined(__aarch64__)
  MixedFloats floats(3);
  Batch batch = random_batch(floats, 3000);
  for (std::size_t i = 0; i < 200; ++i) batch.points[i] = {floats.subnormal(), 0.0f, 0.0f};
#if defined(__aarch64__)
  // Flush-to-zero, round towards minus infinity.
  const std::vector<std::uint32_t> hostile = {1u << 24, 2u << 22, (1u << 24) | (3u << 22)};
#else
  // Flush-to-zero and denormals-are-zero, each rounding mode, and unmasked
  // division-by-zero, invalid and overflow traps.
  const std::vector<std::uint32_t> hostile = {0x9FC0u, 0x3F80u, 0x5F80u, 0x7F80u,
                                              0x1F80u & ~0x0680u};
#endif
  for (const Flavour flavour : kFlavours) {
    const Expected expected = scalar_results(batch, flavour);
    for (const std::uint32_t controls : hostile) {
      for (const auto target : lighting::batch_targets()) {
        SCOPED_TRACE("controls " + std::to_string(controls) + ", target " + std::string(target) +
                     ", " + name_of(flavour));
        const UsingTarget using_target(target);
        set_control_register(controls);
        const std::size_t differences = count_differences(batch, expected, 3, flavour);
        const std::uint32_t after = control_register();
        set_control_register(kDefaultControls);
        EXPECT_EQ(differences, 0u);
        EXPECT_EQ(after, controls) << "the caller's controls were not restored";
      }
    }
  }
#else
  GTEST_SKIP() << "no control register access on this target";
#endif
}

// --- bad input ----------------------------------------------------------------

constexpr PointLight kLight{{-1.0f, 2.0f, 4.0f}, 1.0f, 0.5f, 0.5f, 5.0f};
constexpr Vector3 kUntouched{from_bits(0x7F812345u), 1.0f, 2.0f};

template <typename Call>
void expect_refused(Call call, const std::vector<std::string>& words) {
  try {
    call();
    ADD_FAILURE() << "no exception";
  } catch (const std::invalid_argument& error) {
    for (const auto& word : words)
      EXPECT_NE(std::string(error.what()).find(word), std::string::npos) << error.what();
  }
}

bool untouched(const std::vector<Vector3>& values) {
  return std::all_of(values.begin(), values.end(),
                     [](const Vector3& v) { return bits_of(v) == bits_of(kUntouched); });
}

TEST(BatchArguments, SizeMismatchesThrowNamingBothSizesAndWriteNothing) {
  const std::vector<Vector3> points(5, Vector3{1, 2, 0});
  const std::vector<Vector3> four(4, Vector3{0, 0, 1});
  const std::vector<Vector3> five(5, Vector3{0, 0, 1});
  std::vector<Vector3> out(4, kUntouched);
  expect_refused([&] { lighting::received_energy(points, kLight, out); }, {"5", "4"});
  expect_refused([&] { lighting::diffused_energy(points, five[0], five[0], kLight, out); },
                 {"5", "4"});
  std::vector<Vector3> out5(5, kUntouched);
  expect_refused([&] { lighting::diffused_energy(points, four, five, kLight, out5); },
                 {"5", "4", "normals"});
  expect_refused([&] { lighting::diffused_energy(points, five, four, kLight, out5); },
                 {"5", "4", "reflectances"});
  expect_refused([&] { lighting::diffused_energy(points, five, five, kLight, out); },
                 {"5", "4", "outputs"});
  EXPECT_TRUE(untouched(out));
  EXPECT_TRUE(untouched(out5));
}

TEST(BatchArguments, OverlapsOtherThanInPlaceThrowAndWriteNothing) {
  std::vector<Vector3> buffer(64, kUntouched);
  const auto points = std::span(buffer).subspan(0, 32);
  expect_refused(
      [&] { lighting::received_energy(points, kLight, std::span(buffer).subspan(1, 32)); },
      {"overlaps", "points"});
  expect_refused(
      [&] { lighting::received_energy(std::span(buffer).subspan(4, 32), kLight, points); },
      {"overlaps"});
  const std::vector<Vector3> inputs(32, Vector3{1, 2, 0});
  std::vector<Vector3> out(32, kUntouched);
  expect_refused([&] { lighting::diffused_energy(inputs, out, inputs, kLight, out); },
                 {"overlaps", "normals"});
  expect_refused([&] { lighting::diffused_energy(inputs, inputs, out, kLight, out); },
                 {"overlaps", "reflectances"});
  expect_refused([&] { lighting::diffused_energy(inputs, out[5], out[0], kLight, out); },
                 {"overlaps", "normal"});
  expect_refused([&] { lighting::diffused_energy(inputs, inputs[0], out[31], kLight, out); },
                 {"overlaps", "reflectance"});
  PointLight* light_inside = reinterpret_cast<PointLight*>(&out[10]);
  std::memcpy(light_inside, &kLight, sizeof kLight);
  std::vector<Vector3> expected_out = out;
  expect_refused([&] { lighting::received_energy(inputs, *light_inside, out); },
                 {"overlaps", "light"});
  EXPECT_EQ(std::memcmp(out.data(), expected_out.data(), out.size() * sizeof(Vector3)), 0);
  EXPECT_TRUE(untouched(buffer));
}

TEST(BatchArguments, EmptyBatchesDoNothing) {
  std::vector<Vector3> none;
  lighting::received_energy(none, kLight, none);
  lighting::diffused_energy(none, kLight.position, kLight.position, kLight, none);
  lighting::diffused_energy(none, none, none, kLight, none);
  SUCCEED();
}

}  // namespace
