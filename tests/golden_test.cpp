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

// The library's pow is this platform's pow: every witness that pow rounds
// differently moves the library's distance too, and no other does.
TEST(GoldenVectors, DistancesDifferExactlyWherePowRoundsWitnessesDifferently) {
  const auto cases = lighting_test::load_golden_cases(LIGHTING_GOLDEN_VECTORS);
  std::size_t witnesses = 0;
  std::size_t moved = 0;
  for (const auto& golden : cases) {
    if (!lighting_test::is_pow_witness(golden)) continue;
    ++witnesses;
    const bool differs = lighting_test::pow_rounds_witness_differently(golden);
    const auto actual = lighting_test::evaluate(golden)[0];
    if (actual != golden.expected[0]) ++moved;
    EXPECT_EQ(actual, differs ? lighting_test::platform_pow_distance(golden) : golden.expected[0])
        << "line " << golden.line;
  }
  EXPECT_EQ(witnesses, 38u);
  EXPECT_EQ(moved, lighting_test::count_pow_differences(cases));
  std::printf("this platform's pow rounds %zu of the %zu pow witnesses differently\n", moved,
              witnesses);
}

// The portable flavour depends on no C library function: its vectors come
// from exact integer arithmetic, and every platform must give every bit.
TEST(GoldenVectors, PortableFlavourMatchesTheExactModelOnEveryPlatform) {
  const auto cases = lighting_test::load_golden_cases(LIGHTING_PORTABLE_GOLDEN_VECTORS);
  ASSERT_GT(cases.size(), 6000u);
  const auto mismatches = lighting_test::find_mismatches(cases, lighting_test::Flavour::portable);
  for (std::size_t i = 0; i < mismatches.size() && i < 20; ++i) {
    ADD_FAILURE() << lighting_test::describe(mismatches[i]);
  }
  EXPECT_EQ(mismatches.size(), 0u) << "of " << cases.size() << " portable golden vectors";
}

// The two flavours differ only through the root: on the pow witnesses, whose
// root the reference pow rounds up across a float tie, the default flavour's
// distance is the platform pow's and the portable one's the tie rounded to
// even; everything that does not divide by the distance agrees.
TEST(GoldenVectors, FlavoursDifferOnlyThroughTheRoot) {
  const auto cases = lighting_test::load_golden_cases(LIGHTING_GOLDEN_VECTORS);
  std::size_t distances_differing = 0;
  for (const auto& golden : cases) {
    const auto pow = lighting_test::evaluate(golden, lighting_test::Flavour::pow);
    const auto portable = lighting_test::evaluate(golden, lighting_test::Flavour::portable);
    EXPECT_EQ(pow[4], portable[4]) << "dot_product, line " << golden.line;
    if (pow[0] != portable[0] && !lighting_test::same_result(pow[0], portable[0])) {
      ++distances_differing;
    }
  }
  // At least the witnesses this platform's pow rounds like the reference pow.
  EXPECT_GE(distances_differing, 38u - lighting_test::count_pow_differences(cases));
}

}  // namespace
