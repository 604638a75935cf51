// The GPU batches' public functions: the argument rules of the CPU batches,
// then one Job for the device (runtime.cpp, or no_runtime.cpp without CUDA).
#include <lighting/lighting_cuda.hpp>

#include <cstddef>
#include <stdexcept>
#include <string>

#include "backend.hpp"
#include "batch_checks.hpp"

namespace lighting::cuda {

namespace {

using detail::Job;
using detail::Kind;

constexpr const char* kWho = "lighting::cuda";

[[noreturn]] void refuse(const std::string& why) {
  throw std::invalid_argument(std::string(kWho) + ": " + why);
}

// Device pointers share the host's address space (CUDA's unified
// addressing), so the host's overlap test holds for them too.
void require_apart(const Vector3* out, std::size_t count, const void* input, std::size_t bytes,
                   const char* what) {
  lighting::detail::require_apart(kWho, out, count, input, bytes, what);
}

void require_points_in_place_or_apart(const Job& job) {
  lighting::detail::require_in_place_or_apart(kWho, job.points, job.out, job.count);
}

void require_arrays_apart(const Job& job) {
  require_points_in_place_or_apart(job);
  if (job.kind == Kind::each) {
    require_apart(job.out, job.count, job.normals, job.count * sizeof(Vector3), "normals");
    require_apart(job.out, job.count, job.reflectances, job.count * sizeof(Vector3),
                  "reflectances");
  }
}

void require_pointer(const void* pointer, const char* what) {
  if (pointer == nullptr) refuse(std::string(what) + " is null");
}

Job job_of(Kind kind, std::size_t count, const Vector3* points, const PointLight& light,
           Vector3* out) {
  return {kind, count, points, nullptr, nullptr, Vector3{}, Vector3{}, light, out};
}

}  // namespace

bool available() noexcept {
  return detail::device_present();
}

// The spans' rules are the CPU batches' own. The single records are copied
// into the job after them, before anything is written.
void received_energy(std::span<const Vector3> points, const PointLight& light,
                     std::span<Vector3> out) {
  if (!lighting::detail::check_received(kWho, points, light, out)) return;
  detail::run_through_host(job_of(Kind::received, points.size(), points.data(), light, out.data()));
}

void diffused_energy(std::span<const Vector3> points, const Vector3& normal,
                     const Vector3& reflectance, const PointLight& light, std::span<Vector3> out) {
  if (!lighting::detail::check_diffused(kWho, points, normal, reflectance, light, out)) return;
  Job job = job_of(Kind::one_plane, points.size(), points.data(), light, out.data());
  job.normal = normal;
  job.reflectance = reflectance;
  detail::run_through_host(job);
}

void diffused_energy(std::span<const Vector3> points, std::span<const Vector3> normals,
                     std::span<const Vector3> reflectances, const PointLight& light,
                     std::span<Vector3> out) {
  if (!lighting::detail::check_diffused(kWho, points, normals, reflectances, light, out)) return;
  Job job = job_of(Kind::each, points.size(), points.data(), light, out.data());
  job.normals = normals.data();
  job.reflectances = reflectances.data();
  detail::run_through_host(job);
}

namespace device {

namespace {

// The records are passed to the kernel by value: only the arrays can overlap.
void run(const Job& job, Stream stream) {
  if (job.count == 0) return;
  require_pointer(job.points, "points");
  require_pointer(job.out, "out");
  if (job.kind == Kind::each) {
    require_pointer(job.normals, "normals");
    require_pointer(job.reflectances, "reflectances");
  }
  if (job.count > static_cast<std::size_t>(-1) / sizeof(Vector3)) {
    refuse("batch of " + std::to_string(job.count) + " points is larger than the address space");
  }
  require_arrays_apart(job);
  detail::run_on_device(job, stream);
}

}  // namespace

void received_energy(const Vector3* points, std::size_t count, const PointLight& light,
                     Vector3* out, Stream stream) {
  run(job_of(Kind::received, count, points, light, out), stream);
}

void diffused_energy(const Vector3* points, std::size_t count, const Vector3& normal,
                     const Vector3& reflectance, const PointLight& light, Vector3* out,
                     Stream stream) {
  Job job = job_of(Kind::one_plane, count, points, light, out);
  job.normal = normal;
  job.reflectance = reflectance;
  run(job, stream);
}

void diffused_energy(const Vector3* points, const Vector3* normals, const Vector3* reflectances,
                     std::size_t count, const PointLight& light, Vector3* out, Stream stream) {
  Job job = job_of(Kind::each, count, points, light, out);
  job.normals = normals;
  job.reflectances = reflectances;
  run(job, stream);
}

}  // namespace device

}  // namespace lighting::cuda
