// The device side of a build without CUDA: no device, ever.
#include <lighting/lighting_cuda.hpp>

#include "backend.hpp"

namespace lighting::cuda::detail {

namespace {

[[noreturn]] void no_cuda() {
  throw NoDevice("lighting::cuda: no usable CUDA device: this library was built without CUDA");
}

}  // namespace

bool device_present() noexcept {
  return false;
}

void run_on_device(const Job&, Stream) {
  no_cuda();
}

void run_through_host(const Job&) {
  no_cuda();
}

}  // namespace lighting::cuda::detail
