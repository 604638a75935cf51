// The portable flavour's formulas, written once over an arithmetic policy so
// that the very same source runs on the GPU (DevicePolicy: CUDA's correctly
// rounded intrinsics) and on the host (HostPolicy: plain IEEE operations in a
// file built without contraction), where the tests compare it bit for bit
// with lighting::portable.
//
// A policy P gives add, sub, mul, div, reciprocal and root on doubles, each
// correctly rounded, to_float (the one place a double becomes a float) and
// keep (a float the optimiser may not look through, so that the clamp below
// stays a compare and a select). Nothing else rounds: every expression is
// spelled out in the order the scalar formulas use.
#pragma once

#include <lighting/lighting.hpp>

#if defined(__CUDACC__)
#define LIGHTING_CUDA_FORMULA __host__ __device__ __forceinline__
#else
#define LIGHTING_CUDA_FORMULA inline
#endif

namespace lighting::cuda::formulas {

struct Differences {
  double x, y, z;
};

// light - point: the direction's differences. point - light, which the
// distance is defined on, is their exact negation, so both give the same
// bits of the sum of squares and the root.
template <class P>
LIGHTING_CUDA_FORMULA Differences towards_light(const Vector3& point, const PointLight& light) {
  return {P::sub(double(light.position.x), double(point.x)),
          P::sub(double(light.position.y), double(point.y)),
          P::sub(double(light.position.z), double(point.z))};
}

template <class P>
LIGHTING_CUDA_FORMULA double length(const Differences& d) {
  return P::root(P::add(P::add(P::mul(d.x, d.x), P::mul(d.y, d.y)), P::mul(d.z, d.z)));
}

template <class P>
LIGHTING_CUDA_FORMULA float light_distance(const Vector3& point, const PointLight& light) {
  return P::to_float(length<P>(towards_light<P>(point, light)));
}

template <class P>
LIGHTING_CUDA_FORMULA Vector3 direction(const Differences& d, double root) {
  return {P::to_float(P::div(d.x, root)), P::to_float(P::div(d.y, root)),
          P::to_float(P::div(d.z, root))};
}

template <class P>
LIGHTING_CUDA_FORMULA Vector3 light_direction(const Vector3& point, const PointLight& light) {
  const Differences d = towards_light<P>(point, light);
  return direction<P>(d, length<P>(d));
}

template <class P>
LIGHTING_CUDA_FORMULA float dot_product(const Vector3& a, const Vector3& b) {
  const double y_term = P::mul(double(a.y), double(b.y));
  const double x_term = P::mul(double(a.x), double(b.x));
  const double z_term = P::mul(double(a.z), double(b.z));
  return P::to_float(P::add(P::add(y_term, x_term), z_term));
}

// float((1 / d) / d) times the intensity, times each colour channel.
template <class P>
LIGHTING_CUDA_FORMULA Vector3 received_from(float distance, const PointLight& light) {
  const float falloff = P::to_float(P::div(P::reciprocal(double(distance)), double(distance)));
  const double scale = P::mul(double(falloff), double(light.intensity));
  return {P::to_float(P::mul(scale, double(light.r))), P::to_float(P::mul(scale, double(light.g))),
          P::to_float(P::mul(scale, double(light.b)))};
}

template <class P>
LIGHTING_CUDA_FORMULA Vector3 received_energy(const Vector3& point, const PointLight& light) {
  return received_from<P>(light_distance<P>(point, light), light);
}

// One root a point: rounded, it is the distance; unrounded, the direction's
// length.
template <class P>
LIGHTING_CUDA_FORMULA Vector3 diffused_energy(const Vector3& point, const Vector3& normal,
                                              const Vector3& reflectance, const PointLight& light) {
  const Differences d = towards_light<P>(point, light);
  const double root = length<P>(d);
  const Vector3 received = received_from<P>(P::to_float(root), light);
  const float dot = dot_product<P>(direction<P>(d, root), normal);
  // A surface facing away from the light diffuses nothing; -0 and NaN pass.
  // A compare and a select: a max instruction would turn -0 into +0.
  const float cosine = dot < 0.0f ? 0.0f : P::keep(dot);
  return {P::to_float(P::mul(P::mul(double(received.x), double(cosine)), double(reflectance.x))),
          P::to_float(P::mul(P::mul(double(received.y), double(cosine)), double(reflectance.y))),
          P::to_float(P::mul(P::mul(double(received.z), double(cosine)), double(reflectance.z)))};
}

#if defined(__CUDACC__)
// Each operation names its rounding, so neither nvcc's flags (--fmad,
// --use_fast_math) nor a driver compiling the shipped PTX for a newer GPU
// can fuse or approximate it.
struct DevicePolicy {
  static __device__ __forceinline__ double add(double a, double b) { return __dadd_rn(a, b); }
  static __device__ __forceinline__ double sub(double a, double b) { return __dsub_rn(a, b); }
  static __device__ __forceinline__ double mul(double a, double b) { return __dmul_rn(a, b); }
  static __device__ __forceinline__ double div(double a, double b) { return __ddiv_rn(a, b); }
  static __device__ __forceinline__ double reciprocal(double a) { return __drcp_rn(a); }
  static __device__ __forceinline__ double root(double a) { return __dsqrt_rn(a); }
  static __device__ __forceinline__ float to_float(double a) { return __double2float_rn(a); }
  // An opaque copy: seeing the select's value as the compared one, nvcc
  // turns `x < 0 ? 0 : x` into `x <= 0 ? 0 : x`, which makes -0 +0.
  static __device__ __forceinline__ float keep(float a) {
    asm("mov.b32 %0, %0;" : "+f"(a));
    return a;
  }
};
#endif

}  // namespace lighting::cuda::formulas
