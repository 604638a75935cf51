// The batch kernels on WebAssembly SIMD128: two double lanes (f64x2) per
// vector, four points a step (two vectors in lockstep), written with wasm_simd128.h because
// Highway has no double lanes for WebAssembly.
//
// Each lane follows the scalar formulas (formulas.hpp, lighting.cpp) step
// for step: the same double products and sums in the same order, and a
// rounding to float wherever the scalar code rounds. WebAssembly has no
// fused multiply-add in SIMD128 and its f64x2 arithmetic, square root and
// f32x4.demote_f64x2_zero are IEEE operations rounded to nearest, so a lane
// gives the scalar bits wherever it computes what the scalar code computes.
//
// One root a point: the square root of the sum of squares serves both as
// the distance (rounded to float) and as the direction's length (kept in
// double), as the scalar formulas' two roots of the same sum are equal.
//
// The falloff takes one division, as float(1 / (d * d)), which lighting.cpp
// shows equal to float((1 / d) / d) for every float d.
//
// The portable flavour's root is IEEE sqrt, which f64x2.sqrt is, and it
// divides as the formulas do: its lanes need no test. The default flavour's
// scalar root is the module's own pow(s, 0.5), which may be one double ulp
// from sqrt(s); as in the native dividing kernel (batch_divide-inl.h), a lane
// whose length or direction quotient lies within kTieWindow double ulps of a
// float midpoint, or in float's subnormal range, is recomputed with the
// scalar formulas. Its quotients, tested anyway, are products with
// RN(1 / length), within two double ulps of the quotients, far inside the
// window. The falloff needs no test: it depends only on the float distance.
#if defined(__wasm_simd128__)

#include <wasm_simd128.h>

#include <cstddef>
#include <cstdint>

#include "batch_bounds.hpp"
#include "batch_kernel.hpp"
#include "formulas.hpp"

namespace lighting::detail {

namespace {

static_assert(sizeof(Vector3) == 3 * sizeof(float), "Vector3 must be three packed floats");

// Points per step: two f64x2 vectors.
constexpr std::size_t kStep = 4;

// How many double ulps either side of a float midpoint count as a near
// tie: the native dividing kernel's window (one value in four million).
constexpr std::int32_t kTieWindow = 64;

// Four lanes of one quantity, as two f64x2 vectors: points 0 and 1, 2 and 3.
struct Lanes {
  v128_t low, high;
};

// x, y and z of four points from twelve packed floats.
inline void load_triples(const Vector3* values, Lanes& x, Lanes& y, Lanes& z) {
  const auto* f = reinterpret_cast<const float*>(values);
  const v128_t v0 = wasm_v128_load(f);      // x0 y0 z0 x1
  const v128_t v1 = wasm_v128_load(f + 4);  // y1 z1 x2 y2
  const v128_t v2 = wasm_v128_load(f + 8);  // z2 x3 y3 z3
  // Every shuffle takes two lanes of each operand, in the form one shufps
  // instruction does.
  const v128_t t0 = wasm_i32x4_shuffle(v1, v2, 2, 3, 5, 6);  // x2 y2 x3 y3
  const v128_t t1 = wasm_i32x4_shuffle(v0, v1, 1, 2, 4, 5);  // y0 z0 y1 z1
  const v128_t xs = wasm_i32x4_shuffle(v0, t0, 0, 3, 4, 6);
  const v128_t ys = wasm_i32x4_shuffle(t1, t0, 0, 2, 5, 7);
  const v128_t zs = wasm_i32x4_shuffle(t1, v2, 1, 3, 4, 7);
  const auto widen = [](v128_t v) {
    return Lanes{wasm_f64x2_promote_low_f32x4(v),
                 wasm_f64x2_promote_low_f32x4(wasm_i32x4_shuffle(v, v, 2, 3, 2, 3))};
  };
  x = widen(xs);
  y = widen(ys);
  z = widen(zs);
}

// Four doubles rounded to float, in one f32x4.
inline v128_t to_float(const Lanes& v) {
  return wasm_i32x4_shuffle(wasm_f32x4_demote_f64x2_zero(v.low),
                            wasm_f32x4_demote_f64x2_zero(v.high), 0, 1, 4, 5);
}

// A double rounded to float and back. The empty asm keeps the float an
// f32x4 the compiler cannot look through: Clang 14 otherwise turns the pair
// into lane-by-lane scalar conversions.
inline v128_t through_float(v128_t v) {
  v128_t narrow = wasm_f32x4_demote_f64x2_zero(v);
  __asm__("" : "+r"(narrow));
  return wasm_f64x2_promote_low_f32x4(narrow);
}

// Twelve packed floats from the x, y and z of four points.
inline void store_triples(v128_t x, v128_t y, v128_t z, Vector3* out) {
  auto* f = reinterpret_cast<float*>(out);
  const v128_t t0 = wasm_i32x4_shuffle(x, y, 0, 2, 4, 6);  // x0 x2 y0 y2
  const v128_t t1 = wasm_i32x4_shuffle(z, x, 0, 2, 5, 7);  // z0 z2 x1 x3
  const v128_t t2 = wasm_i32x4_shuffle(y, z, 1, 3, 5, 7);  // y1 y3 z1 z3
  wasm_v128_store(f, wasm_i32x4_shuffle(t0, t1, 0, 2, 4, 6));
  wasm_v128_store(f + 4, wasm_i32x4_shuffle(t2, t0, 0, 2, 5, 7));
  wasm_v128_store(f + 8, wasm_i32x4_shuffle(t1, t2, 1, 3, 5, 7));
}

// Lanes whose value, rounded to float, might round the other way if it were
// a few ulps off: within kTieWindow ulps of a float midpoint (the low 29 of
// the 52 fraction bits near 2^28; the same pattern marks the boundary
// between FLT_MAX and infinity), or nonzero in float's subnormal range.
// Four points' doubles in, one i32x4 lane per point out, in i32x4 lanes
// (Clang 14 splits i64x2 comparisons into scalar ones): the low 29 bits lie
// in each double's low word, and the range test reads the high word, where
// |value| < 2^-126 is an exponent below 1023 - 126. Zero (high word 0 but
// for the sign: no value tested here is a subnormal double) is not flagged.
template <bool kRangeTest = true>
inline v128_t near_float_tie(const Lanes& value) {
  const v128_t low_words = wasm_i32x4_shuffle(value.low, value.high, 0, 2, 4, 6);
  // (bits - (2^28 - w)) mod 2^29 is at most 2w exactly in the window.
  const v128_t shifted =
      wasm_v128_and(wasm_i32x4_sub(low_words, wasm_i32x4_splat((1 << 28) - kTieWindow)),
                    wasm_i32x4_splat((1 << 29) - 1));
  const v128_t in_window = wasm_u32x4_lt(shifted, wasm_i32x4_splat(2 * kTieWindow + 1));
  if constexpr (!kRangeTest) return in_window;
  // 0 < |high word| < the high word of 2^-126, as one unsigned comparison.
  const v128_t high_words = wasm_i32x4_shuffle(value.low, value.high, 1, 3, 5, 7);
  const v128_t magnitude = wasm_v128_and(high_words, wasm_i32x4_splat(0x7FFFFFFF));
  const v128_t subnormal = wasm_u32x4_lt(wasm_i32x4_sub(magnitude, wasm_i32x4_splat(1)),
                                         wasm_i32x4_splat(((1023 - 126) << 20) - 1));
  return wasm_v128_or(in_window, subnormal);
}

// Whether the light lets a component of light minus point be nonzero and
// below 2^-61 in magnitude (bounds::kLightCoordinateNeedingComponentTest):
// two different floats of which one is at least 2^-37 in magnitude are at
// least 2^-61 apart. Otherwise every nonzero sum of squares is at least
// 2^-122, so no length is in float's subnormal range, and a quotient can be
// only where the length exceeds 2^-61 * 2^126 = 2^65.
inline bool allows_tiny_components(const PointLight& light) {
  const auto small = [](float c) {
    return !(c >= bounds::kLightCoordinateNeedingComponentTest ||
             c <= -bounds::kLightCoordinateNeedingComponentTest);
  };
  return small(light.position.x) || small(light.position.y) || small(light.position.z);
}

// Lengths of 2^64 or more (a margin below 2^65 for the products' error), by
// their high words: NaN and infinity are flagged too.
inline v128_t long_lengths(const Lanes& length) {
  const v128_t high_words = wasm_i32x4_shuffle(length.low, length.high, 1, 3, 5, 7);
  return wasm_i32x4_ge(high_words, wasm_i32x4_splat((1023 + 64) << 20));
}

// The light in splatted doubles, the kernel's own copies.
struct LightLanes {
  v128_t x, y, z, intensity, r, g, b;
};

// A float widened to double in both lanes.
inline v128_t splat(float value) {
  return wasm_f64x2_splat(double(value));
}

LightLanes light_lanes(const PointLight& light) {
  return {splat(light.position.x), splat(light.position.y), splat(light.position.z),
          splat(light.intensity),  splat(light.r),          splat(light.g),
          splat(light.b)};
}

// One plane's normal and reflectance for every point, or one per point.
struct OnePlane {
  v128_t nx, ny, nz, rx, ry, rz;
  const Vector3* normal;
  const Vector3* reflectance;
  void normal_at(std::size_t, Lanes& x, Lanes& y, Lanes& z) const {
    x = {nx, nx};
    y = {ny, ny};
    z = {nz, nz};
  }
  void reflectance_at(std::size_t, Lanes& x, Lanes& y, Lanes& z) const {
    x = {rx, rx};
    y = {ry, ry};
    z = {rz, rz};
  }
  const Vector3& scalar_normal_at(std::size_t) const { return *normal; }
  const Vector3& scalar_reflectance_at(std::size_t) const { return *reflectance; }
};

OnePlane one_plane(const Vector3& normal, const Vector3& reflectance) {
  return {splat(normal.x),      splat(normal.y),      splat(normal.z), splat(reflectance.x),
          splat(reflectance.y), splat(reflectance.z), &normal,         &reflectance};
}

struct PerPoint {
  const Vector3* normals;
  const Vector3* reflectances;
  void normal_at(std::size_t first, Lanes& x, Lanes& y, Lanes& z) const {
    load_triples(normals + first, x, y, z);
  }
  void reflectance_at(std::size_t first, Lanes& x, Lanes& y, Lanes& z) const {
    load_triples(reflectances + first, x, y, z);
  }
  const Vector3& scalar_normal_at(std::size_t i) const { return normals[i]; }
  const Vector3& scalar_reflectance_at(std::size_t i) const { return reflectances[i]; }
};

// The arithmetic on four points, two f64x2 vectors: each operation on both
// vectors before the next, so that one's long chain of divisions and
// conversions overlaps the other's.
inline Lanes both(v128_t value) {
  return {value, value};
}
inline Lanes operator+(const Lanes& a, const Lanes& b) {
  return {wasm_f64x2_add(a.low, b.low), wasm_f64x2_add(a.high, b.high)};
}
inline Lanes operator-(const Lanes& a, const Lanes& b) {
  return {wasm_f64x2_sub(a.low, b.low), wasm_f64x2_sub(a.high, b.high)};
}
inline Lanes operator*(const Lanes& a, const Lanes& b) {
  return {wasm_f64x2_mul(a.low, b.low), wasm_f64x2_mul(a.high, b.high)};
}
inline Lanes operator/(const Lanes& a, const Lanes& b) {
  return {wasm_f64x2_div(a.low, b.low), wasm_f64x2_div(a.high, b.high)};
}
inline Lanes square_root(const Lanes& a) {
  return {wasm_f64x2_sqrt(a.low), wasm_f64x2_sqrt(a.high)};
}
inline Lanes through_float(const Lanes& a) {
  return {through_float(a.low), through_float(a.high)};
}
// pmax(c, 0) is c < 0 ? 0 : c: only a strictly negative cosine becomes +0;
// -0 and NaN pass unchanged, as clamp_negative_cosine does.
inline Lanes clamp_negative_cosine(const Lanes& c) {
  const v128_t zero = wasm_f64x2_splat(0.0);
  return {wasm_f64x2_pmax(c.low, zero), wasm_f64x2_pmax(c.high, zero)};
}

// The first half of a step: everything that waits on the square root and
// the divisions. Issued one step ahead of the second half (shade_all), so
// that the divider works on the next points while the conversions, products
// and stores of these run beside it.
struct Divided {
  Lanes length, falloff, qx, qy, qz;
};

// Mirrors formulas::received_energy and light_direction up to their
// divisions, for four points. dx, dy, dz are light minus point (point minus
// light squares alike).
template <Flavour flavour, bool kDiffuse>
inline Divided divide(const Vector3* points, const LightLanes& light) {
  Lanes px, py, pz;
  load_triples(points, px, py, pz);
  const Lanes dx = both(light.x) - px;
  const Lanes dy = both(light.y) - py;
  const Lanes dz = both(light.z) - pz;
  const Lanes length = square_root((dx * dx + dy * dy) + dz * dz);
  // received_energy: falloff = float((1 / d) / d), d the float distance,
  // which is float(1 / (d * d)) for every float d (lighting.cpp; d * d is
  // exact in double): one division instead of two.
  const Lanes distance = through_float(length);
  const Lanes one = both(wasm_f64x2_splat(1.0));
  const Lanes falloff = through_float(one / (distance * distance));
  if constexpr (!kDiffuse) {
    return {length, falloff, length, length, length};
  } else {
    // light_direction: dc / length. The portable flavour divides. The
    // default flavour, whose quotients are tested anyway, multiplies by
    // RN(1 / length): dc * RN(1 / length) is within two double ulps of
    // RN(dc / length) (two roundings of relative error 2^-53), far inside
    // the window, so a lane outside it rounds to the same float as the
    // quotient.
    if constexpr (flavour == Flavour::pow) {
      const Lanes reciprocal = one / length;
      return {length, falloff, dx * reciprocal, dy * reciprocal, dz * reciprocal};
    } else {
      return {length, falloff, dx / length, dy / length, dz / length};
    }
  }
}

// The rest of received_energy and diffused_energy for four points: the
// outputs before their last rounding.
struct Shaded {
  Lanes x, y, z;
};

template <bool kDiffuse>
inline Shaded shade(const Divided& d, const Lanes& nx, const Lanes& ny, const Lanes& nz,
                    const Lanes& rx, const Lanes& ry, const Lanes& rz, const LightLanes& light) {
  const Lanes scale = d.falloff * both(light.intensity);
  const Lanes red = scale * both(light.r);
  const Lanes green = scale * both(light.g);
  const Lanes blue = scale * both(light.b);
  if constexpr (!kDiffuse) {
    return {red, green, blue};
  } else {
    // The direction rounded to float; dot_product(direction, normal): y,
    // then x, then z, rounded to float.
    const Lanes ux = through_float(d.qx);
    const Lanes uy = through_float(d.qy);
    const Lanes uz = through_float(d.qz);
    const Lanes cosine = clamp_negative_cosine(through_float((uy * ny + ux * nx) + uz * nz));
    return {(through_float(red) * cosine) * rx, (through_float(green) * cosine) * ry,
            (through_float(blue) * cosine) * rz};
  }
}

// Four points from first on, their divisions done: their results into
// out + first, the undecided ones from the scalar formulas. Those are taken
// before the vector store, since out may be the points themselves.
template <Flavour flavour, bool kDiffuse, bool kTiny, class Surface>
inline void finish_step(const Divided& d, const Vector3* points, const Surface& surface,
                        std::size_t first, const LightLanes& light, const PointLight& scalar_light,
                        Vector3* out, bool check) {
  Lanes nx{}, ny{}, nz{}, rx{}, ry{}, rz{};
  if constexpr (kDiffuse) {
    surface.normal_at(first, nx, ny, nz);
    surface.reflectance_at(first, rx, ry, rz);
  }
  const Shaded r = shade<kDiffuse>(d, nx, ny, nz, rx, ry, rz, light);
  const v128_t x = to_float(r.x);
  const v128_t y = to_float(r.y);
  const v128_t z = to_float(r.z);
  // The lanes to recompute, in the default flavour only: the length's
  // window, and the quotients'.
  v128_t tests = wasm_i32x4_splat(0);
  if (check && flavour == Flavour::pow) {
    tests = near_float_tie<kTiny>(d.length);
    if constexpr (kDiffuse) {
      tests = wasm_v128_or(tests, wasm_v128_or(near_float_tie<kTiny>(d.qx),
                                               wasm_v128_or(near_float_tie<kTiny>(d.qy),
                                                            near_float_tie<kTiny>(d.qz))));
      if constexpr (!kTiny) tests = wasm_v128_or(tests, long_lengths(d.length));
    }
  }
  if (__builtin_expect(!wasm_v128_any_true(tests), 1)) {
    store_triples(x, y, z, out + first);
    return;
  }
  const auto undecided = static_cast<unsigned>(wasm_i32x4_bitmask(tests));
  Vector3 exact[kStep];
  std::uint64_t recomputed = 0;
  for (std::size_t i = 0; i < kStep; ++i) {
    if (((undecided >> i) & 1u) == 0) continue;
    ++recomputed;
    if constexpr (kDiffuse) {
      formulas::diffused_energy<flavour>(points[first + i], surface.scalar_normal_at(first + i),
                                         surface.scalar_reflectance_at(first + i), scalar_light,
                                         exact[i]);
    } else {
      formulas::received_energy<flavour>(points[first + i], scalar_light, exact[i]);
    }
  }
  count_batch_fallback_lanes(recomputed);
  store_triples(x, y, z, out + first);
  for (std::size_t i = 0; i < kStep; ++i) {
    if (((undecided >> i) & 1u) != 0) out[first + i] = exact[i];
  }
}

// The last partial step's inputs, copied and padded with its last point, so
// that nothing outside the caller's arrays is read or written.
struct TailCopy {
  Vector3 values[kStep];
  TailCopy(const Vector3* from, std::size_t count) {
    for (std::size_t i = 0; i < kStep; ++i) values[i] = from[i < count ? i : count - 1];
  }
};

// kTiny: the light allows tiny nonzero components (allows_tiny_components),
// and every tested value gets the full range test.
template <Flavour flavour, bool kDiffuse, bool kTiny, class Surface, class TailSurface>
void shade_all_of(const Vector3* points, std::size_t count, const Surface& surface,
                  const PointLight& light, Vector3* out, bool check, TailSurface tail_surface) {
  const LightLanes lanes = light_lanes(light);
  std::size_t first = 0;
  if (count >= kStep) {
    // The next step's divisions before this step's second half (about 6%
    // faster in the portable flavour under node 20).
    Divided current = divide<flavour, kDiffuse>(points, lanes);
    for (; first + 2 * kStep <= count; first += kStep) {
      const Divided next = divide<flavour, kDiffuse>(points + first + kStep, lanes);
      finish_step<flavour, kDiffuse, kTiny>(current, points, surface, first, lanes, light, out,
                                            check);
      current = next;
    }
    finish_step<flavour, kDiffuse, kTiny>(current, points, surface, first, lanes, light, out,
                                          check);
    first += kStep;
  }
  if (first == count) return;
  const std::size_t valid = count - first;
  const TailCopy in(points + first, valid);
  Vector3 result[kStep];
  tail_surface(first, valid, [&](const auto& padded_surface) {
    const Divided d = divide<flavour, kDiffuse>(in.values, lanes);
    finish_step<flavour, kDiffuse, kTiny>(d, in.values, padded_surface, 0, lanes, light, result,
                                          check);
  });
  for (std::size_t i = 0; i < valid; ++i) out[first + i] = result[i];
}

template <Flavour flavour, bool kDiffuse, class Surface, class TailSurface>
void shade_all(const Vector3* points, std::size_t count, const Surface& surface,
               const PointLight& light, Vector3* out, bool check, TailSurface tail_surface) {
  if (allows_tiny_components(light)) {
    shade_all_of<flavour, kDiffuse, true>(points, count, surface, light, out, check, tail_surface);
  } else {
    shade_all_of<flavour, kDiffuse, false>(points, count, surface, light, out, check, tail_surface);
  }
}

template <Flavour flavour>
void received_energy_kernel(const Vector3* points, std::size_t count, const PointLight& light,
                            Vector3* out) {
  const bool check = batch_tie_check();
  const PerPoint none{nullptr, nullptr};
  shade_all<flavour, false>(points, count, none, light, out, check,
                            [&](std::size_t, std::size_t, auto shade) { shade(none); });
}

template <Flavour flavour>
void diffused_energy_one_plane_kernel(const Vector3* points, std::size_t count,
                                      const Vector3& normal, const Vector3& reflectance,
                                      const PointLight& light, Vector3* out) {
  const bool check = batch_tie_check();
  const OnePlane plane = one_plane(normal, reflectance);
  shade_all<flavour, true>(points, count, plane, light, out, check,
                           [&](std::size_t, std::size_t, auto shade) { shade(plane); });
}

template <Flavour flavour>
void diffused_energy_kernel(const Vector3* points, const Vector3* normals,
                            const Vector3* reflectances, std::size_t count, const PointLight& light,
                            Vector3* out) {
  const bool check = batch_tie_check();
  shade_all<flavour, true>(points, count, PerPoint{normals, reflectances}, light, out, check,
                           [&](std::size_t first, std::size_t valid, auto shade) {
                             const TailCopy tail_normals(normals + first, valid);
                             const TailCopy tail_reflectances(reflectances + first, valid);
                             shade(PerPoint{tail_normals.values, tail_reflectances.values});
                           });
}

}  // namespace

const BatchKernels& wasm_simd128_batch_kernels() noexcept {
  static constexpr BatchKernels kKernels{
      "wasm_simd128",
      0,
      {&received_energy_kernel<Flavour::pow>, &diffused_energy_one_plane_kernel<Flavour::pow>,
       &diffused_energy_kernel<Flavour::pow>, BatchWindows{kTieWindow, kTieWindow, -1}, false},
      {&received_energy_kernel<Flavour::portable>,
       &diffused_energy_one_plane_kernel<Flavour::portable>,
       &diffused_energy_kernel<Flavour::portable>, BatchWindows{-1, -1, -1}, false}};
  return kKernels;
}

}  // namespace lighting::detail

#endif  // __wasm_simd128__
