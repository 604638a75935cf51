/* The portable flavour's batches on an NVIDIA GPU: the C interface of
 * <lighting/lighting_cuda.hpp>, with the same bits as
 * lighting_portable_*_batch.
 *
 * C99, and valid C++. Each function returns a status:
 * LIGHTING_ERROR_NULL, _OVERLAP and _TOO_LARGE as the CPU batches do
 * (checked before the device is touched), LIGHTING_ERROR_NO_DEVICE without
 * a usable device, driver or CUDA in this build, LIGHTING_ERROR_DEVICE when
 * CUDA reports an error, LIGHTING_ERROR_OUT_OF_MEMORY when host memory runs
 * out. With count 0 nothing is done and the pointers may be null.
 *
 * The _batch forms take host arrays, copy them to the device and back, and
 * return when out is written; on an error before the copies nothing is
 * written. The _device forms take device pointers and are queued on stream
 * (a cudaStream_t; NULL for the default stream).
 */
#ifndef LIGHTING_LIGHTING_CUDA_H
#define LIGHTING_LIGHTING_CUDA_H

#include <lighting/lighting.h>

#include <stddef.h>

#ifdef __cplusplus
#define LIGHTING_CUDA_NOEXCEPT noexcept
extern "C" {
#else
#define LIGHTING_CUDA_NOEXCEPT
#endif

/* 1 when a CUDA device is present and usable, else 0. */
int lighting_cuda_available(void) LIGHTING_CUDA_NOEXCEPT;

/* The message of the last LIGHTING_ERROR_DEVICE or LIGHTING_ERROR_NO_DEVICE
 * returned on this thread (CUDA's own words), "" if none; never null. */
const char* lighting_cuda_last_error(void) LIGHTING_CUDA_NOEXCEPT;

LightingStatus lighting_cuda_received_energy_batch(const LightingVector3* points, size_t count,
                                                   const LightingPointLight* light,
                                                   LightingVector3* out) LIGHTING_CUDA_NOEXCEPT;
LightingStatus lighting_cuda_diffused_energy_batch(const LightingVector3* points, size_t count,
                                                   const LightingVector3* normal,
                                                   const LightingVector3* reflectance,
                                                   const LightingPointLight* light,
                                                   LightingVector3* out) LIGHTING_CUDA_NOEXCEPT;
LightingStatus lighting_cuda_diffused_energy_batch_each(
    const LightingVector3* points, const LightingVector3* normals,
    const LightingVector3* reflectances, size_t count, const LightingPointLight* light,
    LightingVector3* out) LIGHTING_CUDA_NOEXCEPT;

LightingStatus lighting_cuda_received_energy_device(const LightingVector3* points, size_t count,
                                                    const LightingPointLight* light,
                                                    LightingVector3* out,
                                                    void* stream) LIGHTING_CUDA_NOEXCEPT;
LightingStatus lighting_cuda_diffused_energy_device(const LightingVector3* points, size_t count,
                                                    const LightingVector3* normal,
                                                    const LightingVector3* reflectance,
                                                    const LightingPointLight* light,
                                                    LightingVector3* out,
                                                    void* stream) LIGHTING_CUDA_NOEXCEPT;
LightingStatus lighting_cuda_diffused_energy_device_each(
    const LightingVector3* points, const LightingVector3* normals,
    const LightingVector3* reflectances, size_t count, const LightingPointLight* light,
    LightingVector3* out, void* stream) LIGHTING_CUDA_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#undef LIGHTING_CUDA_NOEXCEPT

#endif /* LIGHTING_LIGHTING_CUDA_H */
