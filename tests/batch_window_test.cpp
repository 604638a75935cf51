// The batch kernels' windows at their edges. Points are constructed so that
// the exact length, one exact direction quotient, or the exact falloff lies
// a chosen number of double ulps from a float midpoint: a few ulps (where
// the kernel's own double may round the other way), and a few ulps either
// side of each window's edge. Every target and both flavours must give the
// scalar formulas' bits; lanes on a midpoint must have been recomputed; and
// with the windows narrowed by the test hook, the kernels must go wrong.
#include <lighting/lighting.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "batch_kernel.hpp"
#include "float_bits.hpp"
#include "using_target.hpp"

namespace {

using lighting::PointLight;
using lighting::Vector3;
using lighting::detail::Flavour;
using lighting_test::bits;

// --- exact positions --------------------------------------------------------
//
// Each position is measured in ulps of the double at the midpoint m, from m:
// the rounded value plus its exactly known remainder (fma gives the
// remainders of a square root and of a division exactly).

double double_ulp(double m) {
  return std::nextafter(std::fabs(m), INFINITY) - std::fabs(m);
}

// The float midpoint nearest to |value|.
double nearest_midpoint(double value) {
  const double magnitude = std::fabs(value);
  const float f = static_cast<float>(magnitude);
  const double below = (double(f) + double(std::nextafter(f, 0.0f))) / 2;
  const double above = (double(f) + double(std::nextafter(f, INFINITY))) / 2;
  return magnitude - below < above - magnitude ? below : above;
}

struct Root {
  double rounded, remainder;  // sqrt(s) = rounded + remainder, closely
};

Root exact_root(double s) {
  const double r = std::sqrt(s);
  return {r, std::fma(-r, r, s) / (2 * r)};
}

double length_offset(double s, double m) {
  const Root root = exact_root(s);
  return ((root.rounded - m) + root.remainder) / double_ulp(m);
}

// |dc| / sqrt(s), from m.
double quotient_offset(double dc, double s, double m) {
  const Root root = exact_root(s);
  const double c = std::fabs(dc);
  const double q = c / root.rounded;
  const double remainder = std::fma(-q, root.rounded, c) / root.rounded;
  const double correction = -q * root.remainder / root.rounded;
  return ((q - m) + (remainder + correction)) / double_ulp(m);
}

// 1/d^2 for a float d, from m.
double falloff_offset(float d, double m) {
  const double square = double(d) * double(d);  // exact
  const double r = 1.0 / square;
  const double remainder = r * std::fma(-r, square, 1.0);
  return ((r - m) + remainder) / double_ulp(m);
}

// --- constructed points ---------------------------------------------------------
//
// The point lies at the origin but for one coordinate, so the components
// towards the light are: A (dominant) and B along two axes, the light's own
// coordinates, and along the third C = base + n 2^-q, the light's coordinate
// base + (n >> 24) ulp(base) minus the point's -(n mod 2^24) 2^-q. C is
// exact in double and grows with n in steps of about 2^-47 C; with C near
// A/16 one step moves the length and the quotients A/len and B/len by a
// quarter of an ulp or less, so bisection on n reaches any position.

struct Case {
  Vector3 point;
  PointLight light;
  double offset;     // where the constructed value lies, in ulps from the midpoint
  double requested;  // where it was asked to lie
};

struct Family {
  int dominant;  // the axis of A; B on the next, C on the one after
  float a, b, base;
  int q;
  int scale;  // every coordinate times 2^scale
};

Case case_of(const Family& f, std::int64_t n) {
  float light[3], point[3] = {0.0f, 0.0f, 0.0f};
  const int ax = f.dominant, bx = (f.dominant + 1) % 3, cx = (f.dominant + 2) % 3;
  light[ax] = f.a;
  light[bx] = f.b;
  light[cx] = f.base + std::ldexp(static_cast<float>(n >> 24), 24 - f.q);
  point[cx] = -std::ldexp(static_cast<float>(n & 0xFFFFFF), -f.q);
  const auto scaled = [&](float v) { return std::ldexp(v, f.scale); };
  Case c{};
  c.point = {scaled(point[0]), scaled(point[1]), scaled(point[2])};
  c.light = {{scaled(light[0]), scaled(light[1]), scaled(light[2])}, 1.0f, 1.0f, 0.5f, 0.25f};
  return c;
}

// As the formulas compute them.
struct Components {
  double d[3], s;
};

Components components(const Case& c) {
  Components k{};
  const float* light = &c.light.position.x;
  const float* point = &c.point.x;
  for (int i = 0; i < 3; ++i) k.d[i] = double(light[i]) - double(point[i]);
  k.s = (k.d[0] * k.d[0] + k.d[1] * k.d[1]) + k.d[2] * k.d[2];
  return k;
}

enum class Value { length, dominant_quotient, second_quotient };

// The position of the chosen value for n, signed so that it grows with n.
double position(const Family& f, Value value, std::int64_t n, double m) {
  const Components k = components(case_of(f, n));
  switch (value) {
    case Value::length:
      return length_offset(k.s, m);
    case Value::dominant_quotient:
      return -quotient_offset(k.d[f.dominant], k.s, m);
    case Value::second_quotient:
      return -quotient_offset(k.d[(f.dominant + 1) % 3], k.s, m);
  }
  return 0;
}

// The case of the family whose value lies closest above `offset` ulps from
// the midpoint nearest to where the family's middle puts it.
Case construct(const Family& f, Value value, double offset) {
  constexpr std::int64_t kEnd = std::int64_t{1} << 40;
  const Components middle = components(case_of(f, kEnd / 2));
  const double root = std::sqrt(middle.s);
  const double m =
      nearest_midpoint(value == Value::length              ? root
                       : value == Value::dominant_quotient ? middle.d[f.dominant] / root
                                                           : middle.d[(f.dominant + 1) % 3] / root);
  const double sign = value == Value::length ? 1.0 : -1.0;
  std::int64_t low = 0, high = kEnd - 1;  // position(high) >= target, once checked
  const double target = sign * offset;
  if (position(f, value, high, m) < target || position(f, value, low, m) >= target) return {};
  while (high - low > 1) {
    const std::int64_t mid = low + (high - low) / 2;
    (position(f, value, mid, m) >= target ? high : low) = mid;
  }
  Case c = case_of(f, high);
  c.offset = sign * position(f, value, high, m);
  c.requested = offset;
  return c;
}

Family random_family(std::mt19937& random, int dominant, int scale) {
  std::uniform_real_distribution<float> unit(1.0f, 2.0f), share(0.3f, 0.6f), half(1.0f, 1.5f);
  Family f{};
  f.dominant = dominant;
  f.scale = scale;
  f.a = unit(random);
  f.b = f.a * share(random);
  // base in [2^e, 1.5 2^e) with 2^e just below A/16; then ulp(base) = 2^(e-23) = 2^(24-q).
  const int e = std::ilogb(f.a / 16);
  f.base = std::ldexp(half(random), e);
  f.q = 47 - e;
  return f;
}

// The offsets to construct: near the midpoint and around every window's
// edge on this processor's targets.
std::vector<double> offsets_to_test() {
  std::set<std::int64_t> windows;
  const lighting::detail::BatchKernels* tables[64];
  const std::size_t count = lighting::detail::available_batch_targets(tables, 64);
  for (std::size_t i = 0; i < count; ++i) {
    for (const Flavour flavour : {Flavour::pow, Flavour::portable}) {
      const auto& w = tables[i]->of(flavour).windows;
      for (const std::int64_t width : {w.length, w.direction, w.falloff}) {
        if (width >= 0) windows.insert(width);
      }
    }
  }
  std::vector<double> offsets = {0.0, 0.25, 0.5, -0.5, 1.0, -1.0, 2.0, -2.0, 3.0, -3.0};
  for (const std::int64_t w : windows) {
    for (int near = -3; near <= 3; ++near) {
      offsets.push_back(double(w + near));
      offsets.push_back(-double(w + near));
    }
  }
  return offsets;
}

struct Cases {
  std::vector<Case> length, direction, falloff;
};

Cases construct_cases() {
  Cases cases;
  std::mt19937 random(17);
  const std::vector<double> offsets = offsets_to_test();
  for (const int scale : {0, -45, 40}) {
    for (int dominant = 0; dominant < 3; ++dominant) {
      for (const double offset : offsets) {
        const Family f = random_family(random, dominant, scale);
        const Case length = construct(f, Value::length, offset);
        if (length.light.r != 0.0f) cases.length.push_back(length);
        for (const Value value : {Value::dominant_quotient, Value::second_quotient}) {
          const Case direction = construct(f, value, offset);
          if (direction.light.r != 0.0f) cases.direction.push_back(direction);
        }
      }
    }
  }
  return cases;
}

// The falloff is a function of the float distance alone: no construction can
// place it, so the distances in [1, 4) (every other one follows by a power
// of 4) whose 1/d^2 lies within 2^12 ulps of a midpoint are found by a scan,
// then shaded from lights at several sums s around d^2, so that the
// estimate varies while the distance stays d.
std::vector<Case> falloff_cases() {
  std::vector<Case> cases;
  constexpr std::uint64_t kLow = (std::uint64_t{1} << 29) - 1;
  for (std::uint32_t pattern = bits(1.0f); pattern < bits(4.0f); ++pattern) {
    const float d = lighting_test::from_bits(pattern);
    const double r = 1.0 / (double(d) * double(d));
    const auto r_bits = std::bit_cast<std::uint64_t>(r);
    // Within 2^12 ulps of the midpoint pattern 2^28 in the low 29 bits.
    if (((r_bits + (std::uint64_t{1} << 28) + 4096) & kLow) > 8192) continue;
    const double m = std::bit_cast<double>((r_bits & ~kLow) | (std::uint64_t{1} << 28));
    const double offset = falloff_offset(d, m);
    // Many sums for the distances nearest a midpoint, where the estimate's
    // last bits decide; a few for the others.
    const int variants = std::fabs(offset) < 4 ? 1024 : 16;
    for (int variant = 0; variant < variants; ++variant) {
      // A second component up to d 2^-13 keeps the length within a quarter
      // of a float ulp of d.
      const float side = std::ldexp(d * float(variant) / float(variants), -13);
      for (const int scale : {0, -30, 30}) {
        Case c{};
        c.point = {0.0f, 0.0f, 0.0f};
        c.light = {{std::ldexp(d, scale), std::ldexp(side, scale), 0.0f}, 1.0f, 1.0f, 0.5f, 0.25f};
        c.offset = c.requested = offset;
        if (lighting::light_distance(c.point, c.light) == std::ldexp(d, scale)) cases.push_back(c);
      }
    }
  }
  return cases;
}

// --- running them -----------------------------------------------------------------

using lighting_test::UsingTarget;

bool same(const Vector3& a, const Vector3& b) {
  return lighting_test::same_result(bits(a.x), bits(b.x)) &&
         lighting_test::same_result(bits(a.y), bits(b.y)) &&
         lighting_test::same_result(bits(a.z), bits(b.z));
}

constexpr Vector3 kNormal{0.25f, -0.5f, 0.75f};
constexpr Vector3 kReflectance{1.0f, 0.5f, 0.25f};

template <Flavour flavour>
void scalar(const Vector3& point, const PointLight& light, Vector3 out[2]) {
  if constexpr (flavour == Flavour::pow) {
    lighting::received_energy(point, light, out[0]);
    lighting::diffused_energy(point, kNormal, kReflectance, light, out[1]);
  } else {
    lighting::portable::received_energy(point, light, out[0]);
    lighting::portable::diffused_energy(point, kNormal, kReflectance, light, out[1]);
  }
}

template <Flavour flavour>
void batch(std::span<const Vector3> points, const PointLight& light, std::span<Vector3> received,
           std::span<Vector3> diffused) {
  if constexpr (flavour == Flavour::pow) {
    lighting::received_energy(points, light, received);
    lighting::diffused_energy(points, kNormal, kReflectance, light, diffused);
  } else {
    lighting::portable::received_energy(points, light, received);
    lighting::portable::diffused_energy(points, kNormal, kReflectance, light, diffused);
  }
}

struct Outcome {
  std::size_t wrong = 0;           // cases with a result differing from the scalar one
  std::size_t not_recomputed = 0;  // cases on a midpoint whose lane was not recomputed
};

// Each case alone (the partial-vector path) and in lane 5 of 37 points (a
// block), the others moved off the case's line so that they are ordinary.
template <Flavour flavour>
Outcome run(const std::vector<Case>& cases, bool tested_value, std::size_t report) {
  Outcome outcome;
  for (const Case& c : cases) {
    Vector3 want[2];
    scalar<flavour>(c.point, c.light, want);
    for (const std::size_t size : {std::size_t{1}, std::size_t{37}}) {
      const std::size_t lane = size == 1 ? 0 : 5;
      std::vector<Vector3> points(size, c.point), received(size), diffused(size);
      for (std::size_t i = 0; i < size; ++i) {
        if (i != lane) points[i].x += 0.375f * float(i + 1) * (1.0f + std::fabs(c.point.x));
      }
      const std::uint64_t before = lighting::detail::batch_fallback_lanes();
      batch<flavour>(points, c.light, received, diffused);
      const std::uint64_t recomputed = lighting::detail::batch_fallback_lanes() - before;
      if (!same(want[0], received[lane]) || !same(want[1], diffused[lane])) {
        if (outcome.wrong++ < report) {
          ADD_FAILURE() << "offset " << c.offset << " ulps, batch of " << size << ": light ("
                        << c.light.position.x << ", " << c.light.position.y << ", "
                        << c.light.position.z << "), point (" << c.point.x << ", " << c.point.y
                        << ", " << c.point.z << ")";
        }
      }
      if (tested_value && std::fabs(c.offset) <= 1.0 && recomputed == 0) ++outcome.not_recomputed;
    }
  }
  return outcome;
}

class BatchWindows : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Cases constructed = construct_cases();
    constructed.falloff = falloff_cases();
    cases_ = new Cases(std::move(constructed));
    std::printf("[          ] %zu length, %zu direction and %zu falloff cases\n",
                cases_->length.size(), cases_->direction.size(), cases_->falloff.size());
  }
  static void TearDownTestSuite() { delete cases_; }
  static Cases* cases_;
};
Cases* BatchWindows::cases_ = nullptr;

TEST_F(BatchWindows, ConstructionReachesTheOffsets) {
  // Every offset near the midpoint and at the window edges, for the length
  // and the quotients, in every family: nothing silently dropped.
  const std::size_t per_value = offsets_to_test().size() * 3 * 3;
  EXPECT_EQ(cases_->length.size(), per_value);
  EXPECT_EQ(cases_->direction.size(), 2 * per_value);
  for (const auto* list : {&cases_->length, &cases_->direction}) {
    // s is a double: one ulp of s moves its root by up to an ulp, and
    // the quotients likewise, so a value lands within two ulps of the aim.
    std::size_t within_two_ulps = 0;
    for (const Case& c : *list) {
      if (std::fabs(c.offset - c.requested) <= 2.0) ++within_two_ulps;
    }
    EXPECT_EQ(within_two_ulps, list->size());
  }
  // The scan finds the distances whose falloff lies closest to a midpoint:
  // the nearest, 0x1.a3b47p+1, within about 1.1 ulps.
  const bool near = std::any_of(cases_->falloff.begin(), cases_->falloff.end(),
                                [](const Case& c) { return std::fabs(c.offset) < 1.2; });
  EXPECT_TRUE(near);
}

TEST_F(BatchWindows, EveryTargetAndFlavourGivesTheScalarBits) {
  for (const auto target : lighting::batch_targets()) {
    SCOPED_TRACE(std::string("target ") + std::string(target));
    const UsingTarget using_target(target);
    const bool tests_pow = lighting::detail::batch_kernels().pow.windows.length >= 0;
    const bool tests_portable = lighting::detail::batch_kernels().portable.windows.length >= 0;
    for (const auto* list : {&cases_->length, &cases_->direction}) {
      const Outcome pow = run<Flavour::pow>(*list, tests_pow, 3);
      EXPECT_EQ(pow.wrong, 0u);
      EXPECT_EQ(pow.not_recomputed, 0u);
      const Outcome portable = run<Flavour::portable>(*list, tests_portable, 3);
      EXPECT_EQ(portable.wrong, 0u);
      EXPECT_EQ(portable.not_recomputed, 0u);
    }
    const bool tests_falloff = lighting::detail::batch_kernels().pow.windows.falloff >= 0;
    EXPECT_EQ(run<Flavour::pow>(cases_->falloff, tests_falloff, 3).wrong, 0u);
    EXPECT_EQ(run<Flavour::pow>(cases_->falloff, tests_falloff, 3).not_recomputed, 0u);
    EXPECT_EQ(run<Flavour::portable>(cases_->falloff, tests_falloff, 3).wrong, 0u);
  }
}

// Narrower windows than the bounds give must produce wrong bits on the
// cases near a midpoint: the windows are needed at their width, not just
// somewhere. The estimate's real error is well inside its documented bound,
// so only the narrowest windows fail; the counts are printed for the note.
TEST_F(BatchWindows, NarrowedWindowsGiveWrongBits) {
  std::vector<Case> near_length, near_direction, near_falloff;
  for (const Case& c : cases_->length) {
    if (std::fabs(c.offset) <= 3) near_length.push_back(c);
  }
  for (const Case& c : cases_->direction) {
    if (std::fabs(c.offset) <= 3) near_direction.push_back(c);
  }
  for (const Case& c : cases_->falloff) {
    if (std::fabs(c.offset) <= 3) near_falloff.push_back(c);
  }
  bool any_estimate_target = false;
  std::size_t falloff_wrong = 0;
  for (const auto target : lighting::batch_targets()) {
    const UsingTarget using_target(target);
    if (!lighting::detail::batch_kernels().pow.estimate) continue;
    any_estimate_target = true;
    SCOPED_TRACE(std::string("target ") + std::string(target));
    std::size_t wrong_at_zero = 0;
    for (const unsigned shift : {0u, 1u, 2u, 3u, 4u, 62u}) {
      lighting::detail::shrink_batch_windows(shift);
      const std::size_t length = run<Flavour::pow>(near_length, false, 0).wrong +
                                 run<Flavour::portable>(near_length, false, 0).wrong;
      const std::size_t direction = run<Flavour::pow>(near_direction, false, 0).wrong +
                                    run<Flavour::portable>(near_direction, false, 0).wrong;
      const std::size_t falloff = run<Flavour::pow>(near_falloff, false, 0).wrong +
                                  run<Flavour::portable>(near_falloff, false, 0).wrong;
      lighting::detail::shrink_batch_windows(0);
      std::printf(
          "[          ] %s, windows / 2^%u: wrong cases: length %zu of %zu, direction "
          "%zu of %zu, falloff %zu of %zu\n",
          std::string(target).c_str(), shift, length, 2 * 2 * near_length.size(), direction,
          2 * 2 * near_direction.size(), falloff, 2 * 2 * near_falloff.size());
      if (shift == 0) {
        EXPECT_EQ(length + direction + falloff, 0u);
      }
      if (shift == 62) {
        wrong_at_zero = length + direction;
        falloff_wrong += falloff;
      }
    }
    EXPECT_GT(wrong_at_zero, 0u) << "windows of zero width still gave the scalar bits";
  }
  if (!any_estimate_target) GTEST_SKIP() << "no target here takes the estimate path";
  // Unfused, the falloff's series rounds the wrong way near 0x1.a3b47p+1.
  const auto targets = lighting::batch_targets();
  if (std::find(targets.begin(), targets.end(), "sse4") != targets.end()) {
    EXPECT_GT(falloff_wrong, 0u) << "no falloff case failed with the windows at zero width";
  }
}

}  // namespace
