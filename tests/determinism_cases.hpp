// A fixed set of inputs, the same bits on every platform, for the one-hash
// test: every float is assembled from the bits of a 64-bit integer stream
// (splitmix64), never computed with floating-point arithmetic, so that no
// platform's rounding, contraction or C library can change an input.
//
// Cases come in groups of kGroupSize that share one light, so that the
// batches, which take one light, can run over a whole group. Case i depends
// only on the seed and on i, and a group's kind on the group's index:
//   scene    points within 2^-20 to 2^4 of a light anywhere in 2^-4 to 2^12
//   bits     every field a random 32-bit pattern
//   wide     finite values of any exponent, subnormals included
//   near     points 0 to 3 ulps from the light on each axis, or on it
//   special  fields drawn from zeros, infinities, NaN, subnormals, extremes
//   root     sums of squares m*m + k, m a float midpoint, |k| <= 7 (scaled by
//            powers of 4): the root lies within a hair of a float tie, so one
//            double ulp of the root decides the distance
//   cosine   the light straight along one axis and a normal whose products
//            with the direction are all -0: the cosine is -0
//   grid     small integer coordinates: exact zeros and exact roots
#pragma once

#include <lighting/lighting.hpp>

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace lighting_test::determinism {

inline constexpr std::size_t kGroupSize = 16;

struct Case {
  lighting::Vector3 point, normal, reflectance;
};

struct Group {
  lighting::PointLight light;
  std::array<Case, kGroupSize> cases;
};

class Stream {
 public:
  explicit Stream(std::uint64_t seed) : state_(seed) {}

  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
  }
  // Uniform in [0, n), n small: the bias of a modulo is irrelevant here.
  std::uint32_t below(std::uint32_t n) { return static_cast<std::uint32_t>(next() % n); }
  bool coin() { return (next() & 1u) != 0; }

  // A float with the biased exponent in [low, high] (0 gives a subnormal or
  // zero), a random significand and a random sign unless positive is asked.
  float with_exponent(std::uint32_t low, std::uint32_t high, bool positive = false) {
    const std::uint32_t exponent = low + below(high - low + 1);
    const std::uint32_t sign = positive ? 0u : static_cast<std::uint32_t>(next() & 1u) << 31;
    return std::bit_cast<float>(sign | exponent << 23 |
                                static_cast<std::uint32_t>(next() & 0x7FFFFFu));
  }
  float any_bits() { return std::bit_cast<float>(static_cast<std::uint32_t>(next())); }
  float special() {
    static constexpr std::uint32_t kSpecials[] = {
        0x00000000, 0x80000000, 0x3F800000, 0xBF800000, 0x00000001, 0x80000001, 0x007FFFFF,
        0x807FFFFF, 0x00800000, 0x80800000, 0x7F7FFFFF, 0xFF7FFFFF, 0x7F800000, 0xFF800000,
        0x7FC00000, 0xFFC00001, 0x5F800000, 0x1F800000, 0x40A00000, 0x3F000000};
    return std::bit_cast<float>(kSpecials[below(std::size(kSpecials))]);
  }
  lighting::Vector3 vector(float (Stream::*draw)()) {
    const float x = (this->*draw)();
    const float y = (this->*draw)();
    const float z = (this->*draw)();
    return {x, y, z};
  }

 private:
  std::uint64_t state_;
};

inline std::uint64_t mix(std::uint64_t value) {
  Stream stream(value);
  return stream.next();
}

// The float whose bits are those of value moved by steps ulps away from zero
// (towards it for negative steps), staying finite and of the same sign.
inline float ulps_away(float value, int steps) {
  const auto bits = std::bit_cast<std::uint32_t>(value);
  const std::uint32_t magnitude = bits & 0x7FFFFFFFu;
  if (magnitude >= 0x7F7FFFFCu) return value;
  if (steps < 0 && magnitude < static_cast<std::uint32_t>(-steps)) return value;
  return std::bit_cast<float>(
      (bits & 0x80000000u) |
      static_cast<std::uint32_t>(static_cast<std::int64_t>(magnitude) + steps));
}

// A float times 2^scale, by its exponent bits; value is 0 or a normal float
// far from the range's ends.
inline float times_power_of_two(float value, int scale) {
  const auto bits = std::bit_cast<std::uint32_t>(value);
  if ((bits & 0x7FFFFFFFu) == 0) return value;
  return std::bit_cast<float>(static_cast<std::uint32_t>(static_cast<std::int64_t>(bits) +
                                                         (static_cast<std::int64_t>(scale) << 23)));
}

// A key that orders finite floats as their values do (with -0 below +0),
// from the bits alone: the cases must not depend on how the test itself is
// compiled, and a build with -ffast-math compares subnormals as 0.
inline std::uint32_t ordered_bits(float value) {
  const auto bits = std::bit_cast<std::uint32_t>(value);
  return (bits & 0x80000000u) != 0 ? ~bits : bits | 0x80000000u;
}

inline float integer_float(std::int64_t value) {
  return static_cast<float>(value);  // exact: |value| < 2^24, or a multiple of 8 below 2^27
}

inline lighting::PointLight random_light(Stream& s, bool positive_colour) {
  const lighting::Vector3 position{s.with_exponent(123, 139), s.with_exponent(123, 139),
                                   s.with_exponent(123, 139)};
  const float r = s.with_exponent(120, 127, positive_colour);
  const float g = s.with_exponent(120, 127, positive_colour);
  const float b = s.with_exponent(120, 127, positive_colour);
  return {position, r, g, b, s.with_exponent(126, 130, positive_colour)};
}

// A point within 2^-20 to 2^4 of c, by the bits of c's exponent.
inline float near_coordinate(Stream& s, float c) {
  const auto exponent = static_cast<int>((std::bit_cast<std::uint32_t>(c) >> 23) & 0xFFu);
  const int low = exponent - 20 < 1 ? 1 : exponent - 20;
  const int high = exponent + 4 > 254 ? 254 : exponent + 4;
  return s.with_exponent(static_cast<std::uint32_t>(low), static_cast<std::uint32_t>(high));
}

inline Case surface(Stream& s, const lighting::Vector3& point) {
  return {point,
          {s.with_exponent(118, 127), s.with_exponent(118, 127), s.with_exponent(118, 127)},
          {s.with_exponent(120, 127, true), s.with_exponent(120, 127, true),
           s.with_exponent(120, 127, true)}};
}

// A point whose squared distance to the light (0, 0, -4) is m*m + k, m the
// midpoint between two floats next to a power of two, reached as a float
// minus the light's -4, and k = x*x + y*y small:
// - m = 2^26 + 4 + 8j, k odd: the root, m + k/(2m) less a hair, lies within
//   about (k/2)(8j + 4)/2^26 double ulps of the midpoint between two doubles;
// - m = 2^27 - 4 - 8j, k twice an odd number (m*m + k is even there): the
//   same just below 2^27, where glibc's pow misses the correctly rounded root
//   about one time in seven.
// One double ulp of the root then decides the float distance. Points and
// light may be scaled by any 2^e.
inline lighting::Vector3 root_near_midpoint(Stream& s) {
  static constexpr std::int64_t kOdd[][2] = {{1, 0}, {0, 1}, {1, 2}, {2, 1}, {3, 0}, {2, 3}};
  static constexpr std::int64_t kTwiceOdd[][2] = {{1, 1}, {1, 3}, {3, 1}, {3, 3}, {1, 5}};
  const std::int64_t j = s.coin() ? s.below(64) : s.below(1 << 13);
  if (s.coin()) {
    const auto& offset = kOdd[s.below(std::size(kOdd))];
    return {integer_float(offset[0]), integer_float(offset[1]),
            integer_float((std::int64_t{1} << 26) + 8 * j)};
  }
  const auto& offset = kTwiceOdd[s.below(std::size(kTwiceOdd))];
  return {integer_float(offset[0]), integer_float(offset[1]),
          integer_float((std::int64_t{1} << 27) - 8 - 8 * j)};
}

inline Group make_group(std::uint64_t seed, std::size_t index) {
  Stream s(mix(seed ^ mix(index + 1)));
  Group group{};
  const std::uint32_t kind = s.below(16);
  auto& cases = group.cases;
  if (kind < 4) {  // scene
    group.light = random_light(s, true);
    for (auto& c : cases) {
      const auto& at = group.light.position;
      c = surface(s,
                  {near_coordinate(s, at.x), near_coordinate(s, at.y), near_coordinate(s, at.z)});
    }
  } else if (kind < 6) {  // bits
    group.light = {s.vector(&Stream::any_bits), s.any_bits(), s.any_bits(), s.any_bits(),
                   s.any_bits()};
    for (auto& c : cases) {
      c = {s.vector(&Stream::any_bits), s.vector(&Stream::any_bits), s.vector(&Stream::any_bits)};
    }
  } else if (kind < 8) {  // wide
    const auto wide = [&s] { return s.with_exponent(0, 254); };
    group.light = {{wide(), wide(), wide()}, wide(), wide(), wide(), wide()};
    for (auto& c : cases) {
      c = {{wide(), wide(), wide()}, {wide(), wide(), wide()}, {wide(), wide(), wide()}};
    }
  } else if (kind < 10) {  // near
    group.light = random_light(s, s.coin());
    if (s.coin()) group.light.position.z = s.with_exponent(0, 2);  // subnormal differences
    for (auto& c : cases) {
      const auto& at = group.light.position;
      const auto offset = [&s] { return static_cast<int>(s.below(7)) - 3; };
      c = surface(
          s, {ulps_away(at.x, offset()), ulps_away(at.y, offset()), ulps_away(at.z, offset())});
    }
  } else if (kind < 11) {  // special
    group.light = {s.vector(&Stream::special), s.special(), s.special(), s.special(), s.special()};
    for (auto& c : cases) {
      c = {s.vector(&Stream::special), s.vector(&Stream::special), s.vector(&Stream::special)};
      if (s.coin()) c.point = surface(s, c.point).point;
    }
  } else if (kind < 14) {  // root
    const int scale = static_cast<int>(s.below(41)) - 20;
    group.light = {{0.0f, 0.0f, times_power_of_two(-4.0f, scale)},
                   1.0f,
                   0.5f,
                   0.25f,
                   s.with_exponent(126, 130, true)};
    for (auto& c : cases) {
      const lighting::Vector3 point = root_near_midpoint(s);
      c = surface(s, {times_power_of_two(point.x, scale), times_power_of_two(point.y, scale),
                      times_power_of_two(point.z, scale)});
    }
  } else if (kind < 15) {  // cosine
    group.light = random_light(s, s.coin());
    for (auto& c : cases) {
      const std::uint32_t axis = s.below(3);
      lighting::Vector3 point = group.light.position;
      float* coordinates[] = {&point.x, &point.y, &point.z};
      *coordinates[axis] = near_coordinate(s, *coordinates[axis]);
      c = surface(s, point);
      // The direction is +0 on the other axes (light minus point is +0
      // there) and nonzero on this one: a normal that is negative on the
      // others and a zero of the opposite sign to the direction on this one
      // makes every product -0.
      const bool towards_positive =
          ordered_bits(*coordinates[axis]) < ordered_bits((&group.light.position.x)[axis]);
      float* normal[] = {&c.normal.x, &c.normal.y, &c.normal.z};
      for (std::uint32_t other = 0; other < 3; ++other) {
        *normal[other] =
            std::bit_cast<float>(std::bit_cast<std::uint32_t>(*normal[other]) | 0x80000000u);
      }
      *normal[axis] = std::bit_cast<float>(towards_positive ? 0x80000000u : 0u);
    }
  } else {  // grid
    const auto small = [&s] { return integer_float(static_cast<std::int64_t>(s.below(129)) - 64); };
    group.light = {{small(), small(), small()}, 1.0f, small(), 0.5f, small()};
    for (auto& c : cases)
      c = {{small(), small(), small()}, {small(), small(), small()}, {small(), small(), small()}};
  }
  return group;
}

}  // namespace lighting_test::determinism
