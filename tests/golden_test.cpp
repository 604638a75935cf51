// Every operation on thousands of golden vectors from an independent model,
// bit for bit. The worked examples alone would miss a rounding point that
// moves only for some inputs.
#include <gtest/gtest.h>

#include <cstdio>

#include "golden_vectors.hpp"

namespace {

TEST(GoldenVectors, AllOperationsMatchBitForBit) {
  const auto cases = lighting_test::load_golden_cases(LIGHTING_GOLDEN_VECTORS);
  ASSERT_GT(cases.size(), 5000u);
  const auto mismatches = lighting_test::find_mismatches(cases);
  const auto failures = lighting_test::unexplained(mismatches);
  for (std::size_t i = 0; i < failures.size() && i < 20; ++i) {
    ADD_FAILURE() << lighting_test::describe(failures[i]);
  }
  EXPECT_EQ(failures.size(), 0u) << "of " << cases.size() << " golden vectors";
  std::printf(
      "%zu golden vectors, %zu outputs each: %zu differ through this platform's pow, "
      "%zu otherwise\n",
      cases.size(), lighting_test::kOutputNames.size(), mismatches.size() - failures.size(),
      failures.size());
}

}  // namespace
