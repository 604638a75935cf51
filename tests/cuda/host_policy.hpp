// The device formulas' arithmetic on the host: IEEE double operations, each
// rounded once. The file that includes this must be built without
// contraction (-ffp-contract=off) and without fast-math, as the library is.
#pragma once

#include <cmath>

#include "device_formulas.cuh"

namespace lighting_test {

// A float the optimiser has to produce and cannot look through, as the
// library's own scalar code keeps its roundings and its clamp.
inline float opaque(float value) {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
  asm("" : "+x"(value));
#elif defined(__GNUC__) && defined(__aarch64__)
  asm("" : "+w"(value));
#elif defined(__GNUC__)
  asm("" : "+m"(value));
#endif
  return value;
}

struct HostPolicy {
  static double add(double a, double b) { return a + b; }
  static double sub(double a, double b) { return a - b; }
  static double mul(double a, double b) { return a * b; }
  static double div(double a, double b) { return a / b; }
  static double reciprocal(double a) { return 1.0 / a; }
  static double root(double a) { return std::sqrt(a); }
  static float to_float(double a) { return opaque(static_cast<float>(a)); }
  static float keep(float a) { return opaque(a); }
};

// The device formulas run on the host, each returning its result.
struct HostFormulas {
  using P = HostPolicy;
  static float light_distance(const lighting::Vector3& p, const lighting::PointLight& l) {
    return lighting::cuda::formulas::light_distance<P>(p, l);
  }
  static lighting::Vector3 light_direction(const lighting::Vector3& p,
                                           const lighting::PointLight& l) {
    return lighting::cuda::formulas::light_direction<P>(p, l);
  }
  static float dot_product(const lighting::Vector3& a, const lighting::Vector3& b) {
    return lighting::cuda::formulas::dot_product<P>(a, b);
  }
  static lighting::Vector3 received_energy(const lighting::Vector3& p,
                                           const lighting::PointLight& l) {
    return lighting::cuda::formulas::received_energy<P>(p, l);
  }
  static lighting::Vector3 diffused_energy(const lighting::Vector3& p, const lighting::Vector3& n,
                                           const lighting::Vector3& r,
                                           const lighting::PointLight& l) {
    return lighting::cuda::formulas::diffused_energy<P>(p, n, r, l);
  }
};

}  // namespace lighting_test
