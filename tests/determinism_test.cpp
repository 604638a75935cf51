// One hash on every platform. A fixed input set (determinism_cases.hpp: built
// from integers only, the same bits everywhere) goes through every function
// of both flavours, scalar and batch. The portable flavour's hash is a
// constant here, which every platform must reproduce; the default flavour's
// depends on the C library's pow and is printed, with how many of its outputs
// differ from the portable flavour's.
//
// LIGHTING_DETERMINISM_OUT=FILE also writes every output word of the default
// flavour to FILE (11 words per case, little-endian), to compare platforms
// output by output.
#include <gtest/gtest.h>

#include <lighting/lighting.hpp>

#include <array>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "determinism_cases.hpp"
#include "one_hash.hpp"

namespace {

using lighting::Vector3;
using namespace lighting_test::determinism;

using namespace lighting_test::one_hash;

// One group through every function of a flavour: the scalar outputs, and the
// number of batch outputs that differ from the scalar ones.
std::size_t run_group(const lighting::Operations& ops, const Group& group,
                      std::array<Outputs, kGroupSize>& outputs) {
  std::array<Vector3, kGroupSize> points{}, normals{}, reflectances{};
  const Vector3 plane_normal = group.cases[0].normal;
  const Vector3 plane_reflectance = group.cases[0].reflectance;
  for (std::size_t i = 0; i < kGroupSize; ++i) {
    const Case& c = group.cases[i];
    points[i] = c.point;
    normals[i] = c.normal;
    reflectances[i] = c.reflectance;
    outputs[i] = outputs_of(ops, group, i);
  }

  std::size_t mismatches = 0;
  std::array<Vector3, kGroupSize> out{};
  const auto compare = [&](std::size_t first_output) {
    for (std::size_t i = 0; i < kGroupSize; ++i) {
      mismatches += canonical(out[i].x) != outputs[i][first_output];
      mismatches += canonical(out[i].y) != outputs[i][first_output + 1];
      mismatches += canonical(out[i].z) != outputs[i][first_output + 2];
    }
  };
  ops.received_energy_batch(points, group.light, out);
  compare(5);
  ops.diffused_energy_batch_each(points, normals, reflectances, group.light, out);
  compare(8);
  ops.diffused_energy_batch(points, plane_normal, plane_reflectance, group.light, out);
  compare(11);
  return mismatches;
}

std::size_t case_count() {
#ifdef LIGHTING_DETERMINISM_CASES
  return LIGHTING_DETERMINISM_CASES;
#else
  return kCases;
#endif
}

TEST(OneHash, EveryFunctionOfBothFlavoursScalarAndBatch) {
  const std::size_t cases = case_count();
  ASSERT_GE(cases, kShortCases);
  ASSERT_LE(cases, kCases);
  std::FILE* dump = nullptr;
  if (const char* path = std::getenv("LIGHTING_DETERMINISM_OUT")) {
    dump = std::fopen(path, "wb");
    ASSERT_NE(dump, nullptr) << path;
  }

  Hash pow_hash, portable_hash;
  std::uint64_t portable_short = 0, pow_short = 0;
  std::size_t pow_batch_mismatches = 0, portable_batch_mismatches = 0;
  std::array<std::size_t, kOutputs> flavours_differ{};
  std::array<Outputs, kGroupSize> pow_outputs{}, portable_outputs{};
  for (std::size_t group_index = 0; group_index * kGroupSize < cases; ++group_index) {
    const Group group = make_group(kSeed, group_index);
    pow_batch_mismatches += run_group(lighting::operations(), group, pow_outputs);
    portable_batch_mismatches +=
        run_group(lighting::portable::operations(), group, portable_outputs);
    for (std::size_t i = 0; i < kGroupSize; ++i) {
      for (std::size_t o = 0; o < kOutputs; ++o) {
        pow_hash.add(pow_outputs[i][o]);
        portable_hash.add(portable_outputs[i][o]);
        flavours_differ[o] += pow_outputs[i][o] != portable_outputs[i][o];
      }
      if (dump != nullptr) {
        std::array<unsigned char, 4 * kOutputs> bytes{};
        for (std::size_t o = 0; o < kOutputs; ++o) {
          for (std::size_t b = 0; b < 4; ++b) {
            bytes[4 * o + b] = static_cast<unsigned char>(pow_outputs[i][o] >> (8 * b));
          }
        }
        ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), dump), bytes.size());
      }
    }
    if ((group_index + 1) * kGroupSize == kShortCases) {
      portable_short = portable_hash.value();
      pow_short = pow_hash.value();
    }
  }
  if (dump != nullptr) {
    ASSERT_EQ(std::fclose(dump), 0);
  }

  EXPECT_EQ(pow_batch_mismatches, 0u) << "default flavour: batch outputs unlike the scalar ones";
  EXPECT_EQ(portable_batch_mismatches, 0u)
      << "portable flavour: batch outputs unlike the scalar ones";
  std::printf("portable flavour: %016" PRIx64 " after %zu cases, %016" PRIx64 " after %zu\n",
              portable_short, kShortCases, portable_hash.value(), cases);
  std::printf("default flavour (this platform's pow): %016" PRIx64 " after %zu cases, %016" PRIx64
              " after %zu\n",
              pow_short, kShortCases, pow_hash.value(), cases);
  std::printf("outputs where the default flavour differs from the portable one:");
  for (std::size_t o = 0; o < kOutputs; ++o) {
    std::printf(" %s %zu", kOutputNames[o], flavours_differ[o]);
  }
  std::printf("\n");

  EXPECT_EQ(portable_short, kPortableHashShort) << std::hex << portable_short;
  if (cases == kCases) {
    EXPECT_EQ(portable_hash.value(), kPortableHash) << std::hex << portable_hash.value();
  }
  // Only the root differs between the flavours: never the dot product.
  EXPECT_EQ(flavours_differ[4], 0u);
}

}  // namespace
