/* Point-light shading with reproducible bits: the C interface.
 *
 * C99, and valid C++. The records have the layout of the C++ records of
 * <lighting/lighting.hpp> and every function returns the same bits as the C++
 * function of the same name, under the same numeric contract (see that
 * header): the library computes, this header only forwards.
 *
 * The library is written in C++ and built static by default, so a C program
 * links it with the C++ runtime and, when it was built with Highway, with
 * libhwy: cc prog.c $(pkg-config --cflags --libs --static lighting), which
 * gives -llighting -lhwy -lstdc++ -lm.
 *
 * Scalar functions take pointers to valid records and never fail; their out
 * record may be one of the inputs. Batch functions check their pointers and
 * return a status; on an error they write nothing. No function lets an error
 * of the C++ side escape.
 */
#ifndef LIGHTING_LIGHTING_H
#define LIGHTING_LIGHTING_H

#include <stddef.h>

#ifdef __cplusplus
#define LIGHTING_NOEXCEPT noexcept
extern "C" {
#else
#define LIGHTING_NOEXCEPT
#endif

/* A point, a normal, a unit direction, a reflectance or an energy triple
 * (x red, y green, z blue). A normal need not be of unit length. */
typedef struct LightingVector3 {
  float x;
  float y;
  float z;
} LightingVector3;

/* Colour (r, g, b) and intensity stay separate: no operation folds them. */
typedef struct LightingPointLight {
  LightingVector3 position;
  float r;
  float g;
  float b;
  float intensity;
} LightingPointLight;

/* What a batch function returns; lighting_status_message says it in words. */
typedef enum LightingStatus {
  LIGHTING_OK = 0,
  /* A pointer argument is null while the count is not zero. */
  LIGHTING_ERROR_NULL = 1,
  /* out overlaps an input other than exactly the points array. */
  LIGHTING_ERROR_OVERLAP = 2,
  /* count records from one of the pointers would run past the end of the
   * address space (their byte length does not fit in size_t, or the array
   * would wrap): no such array can exist. Checked before any address is
   * formed from the count. */
  LIGHTING_ERROR_TOO_LARGE = 3,
  /* The library could not allocate the memory the call needs. */
  LIGHTING_ERROR_OUT_OF_MEMORY = 4,
  /* GPU batches: no usable CUDA device (or driver), or the library was
   * built without CUDA. */
  LIGHTING_ERROR_NO_DEVICE = 5,
  /* GPU batches: CUDA reported an error; lighting_cuda_last_error gives
   * CUDA's message. */
  LIGHTING_ERROR_DEVICE = 6
} LightingStatus;

/* A one-line English description of status, never null: "ok" for
 * LIGHTING_OK and "unknown status" for a value outside the enumeration. */
const char* lighting_status_message(LightingStatus status) LIGHTING_NOEXCEPT;

/* Distance from the point to the light. */
float lighting_light_distance(const LightingVector3* point,
                              const LightingPointLight* light) LIGHTING_NOEXCEPT;

/* Unit direction from the point towards the light (NaN at the light). */
void lighting_light_direction(const LightingVector3* point, const LightingPointLight* light,
                              LightingVector3* out) LIGHTING_NOEXCEPT;

/* (a.y*b.y + a.x*b.x) + a.z*b.z, in double precision, rounded once. */
float lighting_dot_product(const LightingVector3* a, const LightingVector3* b) LIGHTING_NOEXCEPT;

/* Energy received at the point: inverse-square falloff times intensity times colour. */
void lighting_received_energy(const LightingVector3* point, const LightingPointLight* light,
                              LightingVector3* out) LIGHTING_NOEXCEPT;

/* Energy the point diffuses: received energy times the clamped cosine times
 * the reflectance. The normal is used as given: its length scales the result. */
void lighting_diffused_energy(const LightingVector3* point, const LightingVector3* normal,
                              const LightingVector3* reflectance, const LightingPointLight* light,
                              LightingVector3* out) LIGHTING_NOEXCEPT;

/* Batches: count points under one light. Element i of out holds the bits the
 * scalar function gives for element i. out may be exactly points (shading in
 * place); any other overlap of out with an input is LIGHTING_ERROR_OVERLAP.
 * With count 0 nothing is read or written and the pointers may be null. */

/* out[i] = received energy at points[i] */
LightingStatus lighting_received_energy_batch(const LightingVector3* points, size_t count,
                                              const LightingPointLight* light,
                                              LightingVector3* out) LIGHTING_NOEXCEPT;

/* out[i] = diffused energy at points[i]: one normal and reflectance for all points */
LightingStatus lighting_diffused_energy_batch(const LightingVector3* points, size_t count,
                                              const LightingVector3* normal,
                                              const LightingVector3* reflectance,
                                              const LightingPointLight* light,
                                              LightingVector3* out) LIGHTING_NOEXCEPT;

/* out[i] = diffused energy at points[i] with normals[i] and reflectances[i] */
LightingStatus lighting_diffused_energy_batch_each(const LightingVector3* points,
                                                   const LightingVector3* normals,
                                                   const LightingVector3* reflectances,
                                                   size_t count, const LightingPointLight* light,
                                                   LightingVector3* out) LIGHTING_NOEXCEPT;

/* The portable flavour: each function above as lighting_portable_<name>,
 * with the same arguments and statuses, the same formulas, orders and
 * rounding points, and the correctly rounded square root (IEEE sqrt) in place
 * of the C library's pow(s, 0.5): the same bits on every platform. */
float lighting_portable_light_distance(const LightingVector3* point,
                                       const LightingPointLight* light) LIGHTING_NOEXCEPT;
void lighting_portable_light_direction(const LightingVector3* point,
                                       const LightingPointLight* light,
                                       LightingVector3* out) LIGHTING_NOEXCEPT;
float lighting_portable_dot_product(const LightingVector3* a,
                                    const LightingVector3* b) LIGHTING_NOEXCEPT;
void lighting_portable_received_energy(const LightingVector3* point,
                                       const LightingPointLight* light,
                                       LightingVector3* out) LIGHTING_NOEXCEPT;
void lighting_portable_diffused_energy(const LightingVector3* point, const LightingVector3* normal,
                                       const LightingVector3* reflectance,
                                       const LightingPointLight* light,
                                       LightingVector3* out) LIGHTING_NOEXCEPT;
LightingStatus lighting_portable_received_energy_batch(const LightingVector3* points, size_t count,
                                                       const LightingPointLight* light,
                                                       LightingVector3* out) LIGHTING_NOEXCEPT;
LightingStatus lighting_portable_diffused_energy_batch(const LightingVector3* points, size_t count,
                                                       const LightingVector3* normal,
                                                       const LightingVector3* reflectance,
                                                       const LightingPointLight* light,
                                                       LightingVector3* out) LIGHTING_NOEXCEPT;
LightingStatus lighting_portable_diffused_energy_batch_each(const LightingVector3* points,
                                                            const LightingVector3* normals,
                                                            const LightingVector3* reflectances,
                                                            size_t count,
                                                            const LightingPointLight* light,
                                                            LightingVector3* out) LIGHTING_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#undef LIGHTING_NOEXCEPT

#endif /* LIGHTING_LIGHTING_H */
