// The error bounds of the batch kernel's estimate path and the windows they
// give, evaluated at compile time.
//
// On x86 targets with a fast reciprocal-square-root estimate the kernel takes
// no square root and no division: from s = dx^2 + dy^2 + dz^2 it computes
// x2 ~ 1/sqrt(s) (the estimate refined by two Newton steps), then
//   length   = RN(s x2)                        for the root of s
//   quotient = RN(dc x2)                       for RN(dc / length)
//   falloff  = RN(RN(x2^2) (1 - 2t + 3t^2))    for RN(RN(1/d)/d), t = d x2 - 1,
// d being the float distance. Each of those doubles is rounded to float; it
// gives the scalar formulas' float unless the formulas' own double lies on
// the other side of a float midpoint. The bounds below limit the distance
// between the two doubles, relative to the kernel's; a lane whose double lies
// within that many ulps of a midpoint is recomputed with the scalar formulas.
//
// Notation: u = 2^-53, RN = round to nearest double. Every bound covers a
// fused and an unfused multiply-add alike (Highway fuses on AVX2 and AVX-512,
// not on SSE4), so one derivation serves every target. docs/batch-kernel.md
// derives each bound step by step.
#pragma once

#include <cstdint>

#include "formulas.hpp"

namespace lighting::detail::bounds {

inline constexpr double u = 0x1p-53;

// |x0 sqrt(s) - 1| of the first estimate x0.
// vrsqrt14pd (AVX-512F) documents a relative error below 2^-14.
inline constexpr double kEstimateAvx512 = 0x1p-14;
// rsqrtps documents |error| <= 1.5 * 2^-12 against its float input; s
// rounded to float is within 2^-24 of s, which moves 1/sqrt(s) by at most
// 2^-25 (to first order; 2^-24 leaves room for the rest).
inline constexpr double kEstimateRsqrtps = 1.5 * 0x1p-12 * (1 + 0x1p-20) + 0x1p-24;

// How far the formulas' root may be from sqrt(s), relative. The pow flavour
// takes pow(s, 0.5), assumed within two ulps (glibc documents about half an
// ulp: a C library four times less accurate is still covered). The portable
// flavour's IEEE sqrt is correctly rounded: half an ulp.
template <Flavour flavour>
inline constexpr double kRootError = flavour == Flavour::pow ? 4 * u : u;

// One Newton step as the kernel takes it, with h = s/2 (exact):
//   a = RN(h x),  e = 0.5 - a x (NegMulAdd),  x' = x + x e (MulAdd).
// Given |x sqrt(s) - 1| <= E, a bound on |x' sqrt(s) - 1|.
// With x = (1 + eps)/sqrt(s), the exact step has e* = -eps - eps^2/2 and
// x (1 + e*) sqrt(s) = 1 - 3 eps^2/2 - eps^3/2. Rounding: a and, unfused,
// the product a x each add at most (1+E)^2 u (0.5 - p is exact by Sterbenz,
// p being near 1/2); fused, e itself is rounded, u (|e*| + ...). Unfused,
// the product x e adds u |x e|; the final sum u |x'| either way.
constexpr double newton_step(double E) {
  const double e_exact = E + E * E / 2;
  const double theta = (1 + E) * (1 + E) * (u + u * u / 2) + u * (e_exact + (1 + E) * (1 + E) * u);
  const double inner = 1.5 * E * E + 0.5 * E * E * E + (1 + E) * (theta + (e_exact + theta) * u);
  return inner + u + inner * u;
}

// A relative distance r between two doubles, as whole ulps of the first: a
// double y in [2^k, 2^(k+1)) is below 2^53 ulp(y), so r |y| < r 2^53 ulps;
// rounded up, plus one for the evaluation of the bound itself.
constexpr std::int64_t ulps_of(double relative) {
  const double in_ulps = relative * 0x1p53;
  auto whole = static_cast<std::int64_t>(in_ulps);
  if (static_cast<double>(whole) < in_ulps) ++whole;
  return whole + 1;
}

struct Bounds {
  double root;       // |x2 sqrt(s) - 1| after two Newton steps
  double length;     // |length - formulas' root| / |length|
  double direction;  // |quotient - formulas' quotient| / |quotient|
  double falloff;    // |falloff - formulas' falloff| / |falloff|
};

struct Windows {
  std::int64_t length, direction, falloff;  // in ulps of the kernel's double
};

constexpr Bounds derive(double estimate, double root_error) {
  Bounds b{};
  const double E2 = newton_step(newton_step(estimate));
  b.root = E2;
  // length = RN(s x2) = sqrt(s)(1 + eps2)(1 + g); the formulas' root is
  // sqrt(s)(1 + pi): apart by at most sqrt(s)(L + |pi|) <= |length|(L + |pi|)/(1 - L).
  const double L = E2 + u + E2 * u;
  b.length = (L + root_error) / (1 - L);
  // quotient = (dc/sqrt(s))(1 + eps2)(1 + g); the formulas' RN(dc/root) =
  // (dc/sqrt(s))(1 + pi)^-1 (1 + g'), a factor within (|pi| + u)/(1 - |pi|) of 1.
  b.direction = (L + (root_error + u) / (1 - root_error)) / ((1 - E2) * (1 - u));
  // Falloff. d = float(root) = sqrt(s)(1 + phi)(1 + pi), |phi| <= 2^-24, so
  // d x2 = 1 + tau with |tau| <= T, and 1/d^2 = x2^2 (1 + tau)^-2.
  const double T = (1 + 0x1p-24) * (1 + root_error) * (1 + E2) - 1;
  // t = d x2 - 1: fused, RN(tau); unfused, RN(d x2) - 1 with an exact
  // subtraction (Sterbenz). Either way |t - tau| <= u (1 + T).
  const double dt = u * (1 + T);
  const double t = T + dt;
  // c = 3t - 2 (MulAdd) is off by at most u (2 + 7|t|); poly = t c + 1
  // (MulAdd) adds that times |t| and its own roundings.
  const double xi = t * u * (2 + 7 * t) + u * t * (2 + 3 * t + u * (2 + 7 * t));
  const double slope = dt * (2 + 6 * t);  // |g(t) - g(tau)| for g = 1 - 2t + 3t^2
  const double truncation = 4 * T * T * T / ((1 - T) * (1 - T) * (1 - T) * (1 - T) * (1 - T));
  // Three roundings (x2^2, poly, the product) and the polynomial's error
  // relative to (1 + tau)^-2, at most (1 + T)^2 times its absolute error.
  const double w = 3 * u + 3 * u * u + (slope + truncation + xi) * (1 + T) * (1 + T) * (1 + 4 * u);
  // The formulas' RN(RN(1/d)/d) is within 2u + u^2 of 1/d^2.
  b.falloff = (w + 2 * u + u * u) / (1 - w);
  return b;
}

constexpr Windows windows_of(const Bounds& b) {
  return {ulps_of(b.length), ulps_of(b.direction), ulps_of(b.falloff)};
}

template <Flavour flavour>
inline constexpr Bounds kAvx512 = derive(kEstimateAvx512, kRootError<flavour>);
template <Flavour flavour>
inline constexpr Bounds kRsqrtps = derive(kEstimateRsqrtps, kRootError<flavour>);

// The bounds as numbers, so that a change of the derivation shows here.
static_assert(kAvx512<Flavour::pow>.root < 0x1p-51 && kRsqrtps<Flavour::pow>.root < 0x1p-43);
static_assert(windows_of(kAvx512<Flavour::pow>).length == 9);
static_assert(windows_of(kAvx512<Flavour::pow>).direction == 10);
static_assert(windows_of(kAvx512<Flavour::pow>).falloff == 9);
static_assert(windows_of(kRsqrtps<Flavour::pow>).length == 556);
static_assert(windows_of(kRsqrtps<Flavour::pow>).direction == 557);
static_assert(windows_of(kRsqrtps<Flavour::pow>).falloff == 9);
static_assert(windows_of(kAvx512<Flavour::portable>).length < 9);
static_assert(windows_of(kRsqrtps<Flavour::portable>).direction < 557);

// The sums s the estimate path takes: there the distance lies in
// [2^-63, 2^63], the falloff in [2^-126, 2^126] and s rounded to float is a
// normal float, so every value tested is a normal float's neighbour and the
// estimates are defined. Other lanes, NaN and infinities included, go to the
// scalar formulas.
inline constexpr double kMinSum = 0x1p-126;
inline constexpr double kMaxSum = 0x1p126;
// A component with 0 < |dc| < 2^-61 also goes there: otherwise every nonzero
// quotient is at least 2^-61 / 2^63 = 2^-124 in magnitude, a normal float.
// Such a component needs a light coordinate below 2^-37 in magnitude (or
// zero): two different floats of which one is at least 2^-37 in magnitude
// are at least 2^-61 apart.
inline constexpr double kMinComponentSquare = 0x1p-122;
inline constexpr float kLightCoordinateNeedingComponentTest = 0x1p-37f;

}  // namespace lighting::detail::bounds
