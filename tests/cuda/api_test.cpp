// The GPU batches' argument rules, checked before any device is touched, and
// their answer where no device is there (the tests that need one skip when
// one is present: the GPU test covers that side).
#include <gtest/gtest.h>

#include <lighting/lighting_cuda.h>

#include <lighting/lighting_cuda.hpp>

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "../float_bits.hpp"

namespace {

using lighting::PointLight;
using lighting::Vector3;
namespace cuda = lighting::cuda;

const PointLight kLight{{-1.0f, 2.0f, 4.0f}, 1.0f, 0.5f, 0.5f, 5.0f};
const Vector3 kSentinel{-7.0f, -7.0f, -7.0f};

std::vector<Vector3> points(std::size_t count) {
  std::vector<Vector3> v(count);
  for (std::size_t i = 0; i < count; ++i) v[i] = {float(i), 2.0f, 0.0f};
  return v;
}

bool untouched(const std::vector<Vector3>& out) {
  for (const Vector3& v : out) {
    if (lighting_test::bits(v.x) != lighting_test::bits(kSentinel.x)) return false;
  }
  return true;
}

template <typename Call>
std::string invalid_argument_of(Call&& call) {
  try {
    call();
  } catch (const std::invalid_argument& error) {
    return error.what();
  }
  return "(nothing thrown)";
}

TEST(CudaBatch, SizesThatDifferAreNamedAndNothingIsWritten) {
  const auto in = points(3);
  std::vector<Vector3> out(2, kSentinel);
  EXPECT_EQ(invalid_argument_of([&] { cuda::received_energy(in, kLight, out); }),
            "lighting::cuda: batch of 3 points but 2 outputs");
  const auto normals = points(4);
  std::vector<Vector3> out3(3, kSentinel);
  EXPECT_EQ(invalid_argument_of([&] { cuda::diffused_energy(in, normals, in, kLight, out3); }),
            "lighting::cuda: batch of 3 points but 4 normals");
  EXPECT_EQ(invalid_argument_of([&] { cuda::diffused_energy(in, in, normals, kLight, out3); }),
            "lighting::cuda: batch of 3 points but 4 reflectances");
  EXPECT_TRUE(untouched(out));
  EXPECT_TRUE(untouched(out3));
}

TEST(CudaBatch, OverlapsOtherThanInPlaceAreRefused) {
  std::vector<Vector3> buffer(8, kSentinel);
  const std::span<Vector3> all(buffer);
  // out one element past the points: a partial overlap.
  EXPECT_NE(invalid_argument_of([&] {
              cuda::received_energy(all.subspan(0, 4), kLight, all.subspan(1, 4));
            }).find("overlaps the points"),
            std::string::npos);
  EXPECT_NE(invalid_argument_of([&] {
              cuda::diffused_energy(all.subspan(0, 2), all.subspan(2, 2), all.subspan(0, 2), kLight,
                                    all.subspan(3, 2));
            }).find("overlaps the normals"),
            std::string::npos);
  // out over the one normal record.
  EXPECT_NE(invalid_argument_of([&] {
              cuda::diffused_energy(all.subspan(0, 2), buffer[5], kSentinel, kLight,
                                    all.subspan(4, 2));
            }).find("overlaps the normal"),
            std::string::npos);
  for (const Vector3& v : buffer) EXPECT_EQ(lighting_test::bits(v.y), lighting_test::bits(-7.0f));
}

TEST(CudaBatch, DevicePointersAreCheckedBeforeTheDevice) {
  std::vector<Vector3> buffer(8);
  EXPECT_EQ(invalid_argument_of(
                [&] { cuda::device::received_energy(nullptr, 4, kLight, buffer.data()); }),
            "lighting::cuda: points is null");
  EXPECT_EQ(invalid_argument_of([&] {
              cuda::device::diffused_energy(buffer.data(), nullptr, buffer.data(), 2, kLight,
                                            buffer.data() + 4);
            }),
            "lighting::cuda: normals is null");
  EXPECT_NE(invalid_argument_of([&] {
              cuda::device::received_energy(buffer.data(), 4, kLight, buffer.data() + 2);
            }).find("overlaps the points"),
            std::string::npos);
  // Nothing to do: no pointer is read, no device asked for.
  EXPECT_NO_THROW(cuda::device::received_energy(nullptr, 0, kLight, nullptr));
  EXPECT_NO_THROW(cuda::received_energy({}, kLight, {}));
}

TEST(CudaBatch, WithoutADeviceEveryBatchSaysSoInOneLineAndWritesNothing) {
  if (cuda::available()) GTEST_SKIP() << "a CUDA device is present";
  EXPECT_EQ(lighting_cuda_available(), 0);
  const auto in = points(5);
  std::vector<Vector3> out(5, kSentinel);
  const auto expect_no_device = [&](auto&& call) {
    try {
      call();
      ADD_FAILURE() << "no exception";
    } catch (const cuda::NoDevice& error) {
      const std::string message = error.what();
      EXPECT_EQ(message.rfind("lighting::cuda: no usable CUDA device", 0), 0u) << message;
      EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    }
  };
  expect_no_device([&] { cuda::received_energy(in, kLight, out); });
  expect_no_device([&] { cuda::diffused_energy(in, in[0], in[1], kLight, out); });
  expect_no_device([&] { cuda::diffused_energy(in, in, in, kLight, out); });
  std::vector<Vector3> in_place = in;
  expect_no_device([&] { cuda::received_energy(in_place, kLight, in_place); });
  expect_no_device([&] { cuda::device::received_energy(in.data(), 5, kLight, out.data()); });
  EXPECT_TRUE(untouched(out));
  EXPECT_EQ(lighting_test::bits(in_place[3].x), lighting_test::bits(3.0f));
}

const LightingPointLight kCLight{{-1.0f, 2.0f, 4.0f}, 1.0f, 0.5f, 0.5f, 5.0f};

TEST(CudaCInterface, StatusesForNullTooLargeAndOverlap) {
  std::array<LightingVector3, 8> buffer{};
  EXPECT_EQ(lighting_cuda_received_energy_batch(nullptr, 0, nullptr, nullptr), LIGHTING_OK);
  EXPECT_EQ(lighting_cuda_received_energy_batch(nullptr, 2, &kCLight, buffer.data()),
            LIGHTING_ERROR_NULL);
  EXPECT_EQ(lighting_cuda_diffused_energy_batch(buffer.data(), 2, nullptr, &buffer[2], &kCLight,
                                                &buffer[4]),
            LIGHTING_ERROR_NULL);
  EXPECT_EQ(lighting_cuda_received_energy_device(buffer.data(), 2, nullptr, &buffer[4], nullptr),
            LIGHTING_ERROR_NULL);
  EXPECT_EQ(
      lighting_cuda_received_energy_batch(buffer.data(), SIZE_MAX / 4, &kCLight, buffer.data()),
      LIGHTING_ERROR_TOO_LARGE);
  EXPECT_EQ(
      lighting_cuda_diffused_energy_device_each(buffer.data(), buffer.data(), buffer.data(),
                                                SIZE_MAX / 12, &kCLight, buffer.data(), nullptr),
      LIGHTING_ERROR_TOO_LARGE);
  EXPECT_EQ(lighting_cuda_received_energy_batch(buffer.data(), 4, &kCLight, &buffer[1]),
            LIGHTING_ERROR_OVERLAP);
  EXPECT_EQ(lighting_cuda_diffused_energy_batch_each(buffer.data(), &buffer[4], buffer.data(), 2,
                                                     &kCLight, &buffer[5]),
            LIGHTING_ERROR_OVERLAP);
}

TEST(CudaCInterface, WithoutADeviceTheStatusAndCudasMessage) {
  if (cuda::available()) GTEST_SKIP() << "a CUDA device is present";
  std::array<LightingVector3, 4> points{};
  std::array<LightingVector3, 4> out{};
  out[0].x = -7.0f;
  EXPECT_EQ(lighting_cuda_received_energy_batch(points.data(), 4, &kCLight, out.data()),
            LIGHTING_ERROR_NO_DEVICE);
  EXPECT_EQ(lighting_test::bits(out[0].x), lighting_test::bits(-7.0f));
  const std::string message = lighting_cuda_last_error();
  EXPECT_EQ(message.rfind("lighting::cuda: no usable CUDA device", 0), 0u) << message;
  EXPECT_EQ(lighting_cuda_diffused_energy_device(points.data(), 4, &points[0], &points[1], &kCLight,
                                                 out.data(), nullptr),
            LIGHTING_ERROR_NO_DEVICE);
  EXPECT_STREQ(lighting_status_message(LIGHTING_ERROR_NO_DEVICE), "no usable CUDA device");
}

}  // namespace
