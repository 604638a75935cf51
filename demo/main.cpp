// Lights one fixed surface point with one point light and prints the energy it
// receives and the energy it diffuses. Arguments and environment are ignored.
#include <lighting/lighting.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>

int main() {
  using lighting::PointLight;
  using lighting::Vector3;

  const Vector3 point{1.0f, 2.0f, 0.0f};
  const Vector3 normal{0.0f, 0.0f, 1.0f};
  const PointLight light{{-1.0f, 2.0f, 4.0f}, 1.0f, 0.5f, 0.5f, 5.0f};
  const Vector3 reflectance{0.5f, 0.5f, 1.0f};
  Vector3 result;

  lighting::received_energy(point, light, result);
  std::printf("Energie recue    : %f %f %f\n", double(result.x), double(result.y),
              double(result.z));

  lighting::diffused_energy(point, normal, reflectance, light, result);
  std::printf("Energie diffusee : %f %f %f\n", double(result.x), double(result.y),
              double(result.z));

  // A report that did not reach its destination is a failure, not a success:
  // stdout is buffered, so only the flush tells whether the writes landed.
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    const int error = errno;
    std::fprintf(stderr, "lighting-demo: cannot write the report: %s\n",
                 error != 0 ? std::strerror(error) : "write error");
    return 1;
  }
  return 0;
}
