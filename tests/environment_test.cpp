// The caller's floating-point environment neither changes the results nor is
// changed by a call: rounding mode, flush-to-zero and trap settings are the
// caller's again afterwards, and the exception flags a call raises reach it.
#include <lighting/lighting.hpp>

#include <gtest/gtest.h>

#include <cfenv>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#if defined(__x86_64__) || (defined(__i386__) && defined(__SSE__))
#include <xmmintrin.h>
#endif

#include "float_bits.hpp"
#include "golden_vectors.hpp"

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

#if defined(__x86_64__) || defined(__i386__)
// The x87 control word; its precision control (bits 8-9) is 0 for single,
// 2 for double and 3 (the default) for extended precision.
std::uint16_t x87_control() {
  std::uint16_t word;
  asm volatile("fnstcw %0" : "=m"(word));
  return word;
}
void set_x87_precision(unsigned precision) {
  const auto word = static_cast<std::uint16_t>((x87_control() & ~0x0300u) | (precision << 8));
  asm volatile("fldcw %0" : : "m"(word));
}
#endif

// Every floating-point control of this target, without the exception flags.
std::uint64_t controls() {
#if defined(__x86_64__) || (defined(__i386__) && defined(__SSE__))
  return (std::uint64_t{x87_control()} << 32) | (_mm_getcsr() & ~0x3Fu);
#elif defined(__aarch64__)
  std::uint64_t fpcr;
  asm volatile("mrs %0, fpcr" : "=r"(fpcr));
  return fpcr;
#else
  return static_cast<std::uint64_t>(std::fegetround());
#endif
}

struct CallerSetting {
  std::string name;
  std::function<bool()> apply;  // false: this target lacks the control
};

std::vector<CallerSetting> caller_settings() {
  std::vector<CallerSetting> settings = {
      {"FE_UPWARD", [] { return std::fesetround(FE_UPWARD) == 0; }},
      {"FE_DOWNWARD", [] { return std::fesetround(FE_DOWNWARD) == 0; }},
      {"FE_TOWARDZERO", [] { return std::fesetround(FE_TOWARDZERO) == 0; }},
      {"flush-to-zero and denormals-are-zero", [] { return set_flush_to_zero(true); }},
  };
#if defined(__x86_64__) || defined(__i386__)
  settings.push_back({"x87 single precision (-mpc32)", [] {
                        set_x87_precision(0);
                        return true;
                      }});
  settings.push_back({"x87 double precision (-mpc64)", [] {
                        set_x87_precision(2);
                        return true;
                      }});
  settings.push_back({"FE_UPWARD, flush-to-zero and x87 single precision", [] {
                        set_x87_precision(0);
                        return std::fesetround(FE_UPWARD) == 0 && set_flush_to_zero(true);
                      }});
#endif
  return settings;
}

std::vector<std::array<std::uint32_t, lighting_test::kOutputCount>> evaluate_all(
    const std::vector<lighting_test::GoldenCase>& cases) {
  std::vector<std::array<std::uint32_t, lighting_test::kOutputCount>> results;
  results.reserve(cases.size());
  for (const auto& golden : cases) results.push_back(lighting_test::evaluate(golden));
  return results;
}

// Every golden vector, not one input: pow, subnormal inputs and the divisions
// each react to a different control.
TEST_F(CallerEnvironment, NoSettingChangesAnyGoldenVector) {
  const auto cases = lighting_test::load_golden_cases(LIGHTING_GOLDEN_VECTORS);
  const auto expected = evaluate_all(cases);  // under the default environment
  for (const auto& setting : caller_settings()) {
    std::fenv_t before;
    std::fegetenv(&before);
    if (!setting.apply()) {
      std::fesetenv(&before);
      std::printf("%s: not on this target\n", setting.name.c_str());
      continue;
    }
    const std::uint64_t applied = controls();
    const auto actual = evaluate_all(cases);
    const std::uint64_t after = controls();
    std::fesetenv(&before);
    std::size_t differing = 0;
    for (std::size_t i = 0; i < cases.size(); ++i) {
      for (std::size_t output = 0; output < expected[i].size(); ++output) {
        if (lighting_test::same_result(expected[i][output], actual[i][output])) continue;
        if (++differing <= 5) {
          ADD_FAILURE() << setting.name << ": line " << cases[i].line << " "
                        << lighting_test::kOutputNames[output];
        }
      }
    }
    EXPECT_EQ(differing, 0u) << setting.name;
    EXPECT_EQ(applied, after) << setting.name << ": the caller's controls were not restored";
    std::printf("%s: %zu outputs of %zu golden vectors checked, %zu differ\n", setting.name.c_str(),
                cases.size() * lighting_test::kOutputCount, cases.size(), differing);
  }
}

}  // namespace
