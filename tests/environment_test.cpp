// The caller's floating-point environment neither changes the results nor is
// changed by a call: rounding mode, flush-to-zero and trap settings are the
// caller's again afterwards, and the exception flags a call raises reach it.
#include <lighting/lighting.hpp>

#include <gtest/gtest.h>

#include <cfenv>
#include <cstdint>

#if defined(__x86_64__) || (defined(__i386__) && defined(__SSE__))
#include <xmmintrin.h>
#endif

#include "float_bits.hpp"

namespace {

using lighting::PointLight;
using lighting::Vector3;
using lighting_test::bits;

constexpr Vector3 kPoint{1.0f, 2.0f, 0.0f};
constexpr PointLight kLight{{-1.0f, 2.0f, 4.0f}, 1.0f, 0.5f, 0.5f, 5.0f};

// Turns flush-to-zero (and, on x86, denormals-are-zero) on or off, as a
// program linked with -ffast-math has it from start-up. False if unsupported.
bool set_flush_to_zero(bool on) {
#if defined(__x86_64__) || (defined(__i386__) && defined(__SSE__))
  constexpr unsigned kFlushBits = 0x8040;  // FTZ | DAZ
  _mm_setcsr(on ? (_mm_getcsr() | kFlushBits) : (_mm_getcsr() & ~kFlushBits));
  return true;
#elif defined(__aarch64__)
  std::uint64_t fpcr;
  asm volatile("mrs %0, fpcr" : "=r"(fpcr));
  fpcr = on ? (fpcr | (1u << 24)) : (fpcr & ~std::uint64_t{1u << 24});
  asm volatile("msr fpcr, %0" : : "r"(fpcr));
  return true;
#else
  (void)on;
  return false;
#endif
}

class CallerEnvironment : public ::testing::Test {
 protected:
  void SetUp() override { std::fegetenv(&saved_); }
  void TearDown() override { std::fesetenv(&saved_); }

 private:
  std::fenv_t saved_{};
};

TEST_F(CallerEnvironment, FlushToZeroDoesNotReachTheLibrary) {
  if (!set_flush_to_zero(true)) GTEST_SKIP() << "no flush-to-zero control on this target";
  // A subnormal input and result: flushed, the product would be 0.
  EXPECT_EQ(bits(lighting::dot_product({0x1p-149f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f})),
            bits(0x1p-149f));
  const PointLight near{{0.0f, 0.0f, 0x1p-140f}, 1.0f, 1.0f, 1.0f, 1.0f};
  EXPECT_EQ(bits(lighting::light_distance({0.0f, 0.0f, 0.0f}, near)), bits(0x1p-140f));
#if defined(__x86_64__) || (defined(__i386__) && defined(__SSE__))
  EXPECT_EQ(_mm_getcsr() & 0x8040u, 0x8040u) << "the caller's flush-to-zero was not restored";
#endif
}

TEST_F(CallerEnvironment, RoundingModeDoesNotReachTheLibrary) {
  for (const int mode : {FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
    if (std::fesetround(mode) != 0) continue;  // not every target has every mode
    Vector3 received{};
    lighting::received_energy(kPoint, kLight, received);
    EXPECT_EQ(bits(received.x), bits(0x1.fffffep-3f)) << "rounding mode " << mode;
    EXPECT_EQ(bits(lighting::light_distance(kPoint, kLight)), bits(0x1.1e377ap+2f));
    EXPECT_EQ(std::fegetround(), mode) << "the caller's rounding mode was not restored";
  }
}

TEST_F(CallerEnvironment, ExceptionFlagsRaisedByACallReachTheCaller) {
  const PointLight at_point{kPoint, 1.0f, 1.0f, 1.0f, 1.0f};
  Vector3 received{};
  for (const int mode : {FE_TONEAREST, FE_UPWARD}) {  // default and restored environments
    if (std::fesetround(mode) != 0) continue;
    std::feclearexcept(FE_ALL_EXCEPT);
    lighting::received_energy(kPoint, at_point, received);  // 1 / 0
    EXPECT_TRUE(std::fetestexcept(FE_DIVBYZERO)) << "rounding mode " << mode;
  }
}

#if defined(__GLIBC__) && (defined(__x86_64__) || defined(__i386__))
TEST_F(CallerEnvironment, EnabledTrapsDoNotFireInsideTheLibrary) {
  ASSERT_NE(feenableexcept(FE_DIVBYZERO | FE_INVALID | FE_OVERFLOW), -1);
  const PointLight at_point{kPoint, 1.0f, 0.0f, 1.0f, 5.0f};
  Vector3 diffused{};
  lighting::diffused_energy(kPoint, {0.0f, 0.0f, 1.0f}, {1.0f, 1.0f, 1.0f}, at_point, diffused);
  EXPECT_TRUE(lighting_test::is_nan_bits(bits(diffused.x)));
  EXPECT_EQ(fegetexcept() & FE_DIVBYZERO, FE_DIVBYZERO) << "the caller's traps were not restored";
  fedisableexcept(FE_ALL_EXCEPT);
}
#endif

}  // namespace
