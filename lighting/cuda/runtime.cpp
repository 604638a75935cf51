// The device side with the CUDA runtime: finding the device, checking that
// it can reach a caller's pointers, and the host-span batches, which stage
// the points through device memory a chunk at a time.
#include <cuda_runtime_api.h>

#include <lighting/lighting_cuda.hpp>

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <string>

#include "backend.hpp"
#include "launch.hpp"

namespace lighting::cuda::detail {

namespace {

// The errors that mean there is no device to use, rather than a fault of one.
bool means_no_device(cudaError_t error) {
  switch (error) {
    case cudaErrorNoDevice:
    case cudaErrorInsufficientDriver:
    case cudaErrorStubLibrary:
    case cudaErrorDevicesUnavailable:
    case cudaErrorSystemDriverMismatch:
    case cudaErrorCompatNotSupportedOnDevice:
      return true;
    default:
      return false;
  }
}

[[noreturn]] void fail(cudaError_t error, const char* what) {
  (void)cudaGetLastError();  // a non-sticky error must not be reported again by the next call
  const std::string message = cudaGetErrorString(error);
  if (means_no_device(error)) throw NoDevice("lighting::cuda: no usable CUDA device: " + message);
  throw DeviceError(std::string("lighting::cuda: ") + what + ": " + message);
}

void check(cudaError_t error, const char* what) {
  if (error != cudaSuccess) fail(error, what);
}

int require_device() {
  int count = 0;
  check(cudaGetDeviceCount(&count), "cudaGetDeviceCount");
  if (count == 0) throw NoDevice("lighting::cuda: no usable CUDA device: none found");
  int device = 0;
  check(cudaGetDevice(&device), "cudaGetDevice");
  return device;
}

// Ordinary host memory is out of the kernel's reach, unless the device reads
// pageable memory itself (a system with address translation services).
void require_reachable(int device, const void* pointer, const char* what) {
  int pageable = 0;
  check(cudaDeviceGetAttribute(&pageable, cudaDevAttrPageableMemoryAccess, device),
        "cudaDeviceGetAttribute");
  if (pageable != 0) return;
  cudaPointerAttributes attributes{};
  check(cudaPointerGetAttributes(&attributes, pointer), "cudaPointerGetAttributes");
  if (attributes.type == cudaMemoryTypeUnregistered) {
    throw Unreachable(std::string("lighting::cuda: ") + what +
                      " is not memory the device can reach");
  }
}

// Device memory for the chunks, freed in stream order, whatever happens.
class Buffer {
 public:
  Buffer(std::size_t count, cudaStream_t stream) : stream_(stream) {
    if (count == 0) return;
    void* memory = nullptr;
    check(cudaMallocAsync(&memory, count * sizeof(Vector3), stream), "cudaMallocAsync");
    data_ = static_cast<Vector3*>(memory);
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() {
    if (data_ != nullptr) (void)cudaFreeAsync(data_, stream_);
  }
  Vector3* data() const { return data_; }

 private:
  cudaStream_t stream_;
  Vector3* data_ = nullptr;
};

// On the way out, error or not, the stream has finished with the caller's memory.
class Finish {
 public:
  explicit Finish(cudaStream_t stream) : stream_(stream) {}
  Finish(const Finish&) = delete;
  Finish& operator=(const Finish&) = delete;
  ~Finish() { (void)cudaStreamSynchronize(stream_); }

 private:
  cudaStream_t stream_;
};

void copy_in(Vector3* device, const Vector3* host, std::size_t count, cudaStream_t stream) {
  check(cudaMemcpyAsync(device, host, count * sizeof(Vector3), cudaMemcpyHostToDevice, stream),
        "copy to the device");
}

// 2^22 points a chunk (48 MiB an array): copies long enough to run at full
// speed, few enough bytes that any batch fits beside other work.
constexpr std::size_t kChunk = std::size_t{1} << 22;

}  // namespace

bool device_present() noexcept {
  int count = 0;
  if (cudaGetDeviceCount(&count) != cudaSuccess) {
    (void)cudaGetLastError();
    return false;
  }
  return count > 0;
}

void run_on_device(const Job& job, Stream stream) {
  const int device = require_device();
  require_reachable(device, job.points, "points");
  require_reachable(device, job.out, "out");
  if (job.kind == Kind::each) {
    require_reachable(device, job.normals, "normals");
    require_reachable(device, job.reflectances, "reflectances");
  }
  check(launch(job, stream), "kernel launch");
}

// Every device buffer is allocated before anything is written to out, so
// that running out of device memory leaves out as it was.
void run_through_host(const Job& job) {
  require_device();
  const cudaStream_t stream = cudaStreamPerThread;
  const std::size_t chunk = std::min(job.count, kChunk);
  const bool in_place = job.points == job.out;
  const bool each = job.kind == Kind::each;
  Buffer points(chunk, stream);
  const Buffer out(in_place ? 0 : chunk, stream);
  const Buffer normals(each ? chunk : 0, stream);
  const Buffer reflectances(each ? chunk : 0, stream);
  const Finish finish(stream);
  for (std::size_t start = 0; start < job.count; start += chunk) {
    const std::size_t count = std::min(chunk, job.count - start);
    Job piece = job;
    piece.count = count;
    piece.points = points.data();
    piece.out = in_place ? points.data() : out.data();
    copy_in(points.data(), job.points + start, count, stream);
    if (each) {
      piece.normals = normals.data();
      piece.reflectances = reflectances.data();
      copy_in(normals.data(), job.normals + start, count, stream);
      copy_in(reflectances.data(), job.reflectances + start, count, stream);
    }
    check(launch(piece, stream), "kernel launch");
    check(cudaMemcpyAsync(job.out + start, piece.out, count * sizeof(Vector3),
                          cudaMemcpyDeviceToHost, stream),
          "copy from the device");
  }
  check(cudaStreamSynchronize(stream), "kernel");
}

}  // namespace lighting::cuda::detail
