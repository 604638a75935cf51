// Runs the library's arithmetic under the default floating-point environment.
//
// The results are specified for round-to-nearest with subnormals honoured and
// exceptions masked. A caller may have changed that: a program linked with
// -ffast-math starts with flush-to-zero and denormals-are-zero set, and
// fesetround or feenableexcept change the rest. The scope below installs the
// default controls when they differ and puts the caller's back on exit,
// keeping the exception flags the computation raised, so the caller sees the
// same flags as if it had done the arithmetic itself. When the controls are
// already the defaults (the common case) it costs one register read.
#pragma once

#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace lighting::detail {

#if defined(__x86_64__) || defined(__i386__)

class DefaultFloatEnvironment {
 public:
  DefaultFloatEnvironment() noexcept : saved_(_mm_getcsr()) {
    if ((saved_ & kControls) != kDefaultControls) {
      _mm_setcsr((saved_ & ~kControls) | kDefaultControls);
      changed_ = true;
    }
    compiler_barrier();
  }
  ~DefaultFloatEnvironment() {
    compiler_barrier();
    if (changed_) _mm_setcsr(saved_ | (_mm_getcsr() & kFlags));
  }
  DefaultFloatEnvironment(const DefaultFloatEnvironment&) = delete;
  DefaultFloatEnvironment& operator=(const DefaultFloatEnvironment&) = delete;

 private:
  // MXCSR: bits 0-5 are the sticky exception flags; the rest are controls
  // (denormals-are-zero, the six exception masks, rounding, flush-to-zero).
  static constexpr std::uint32_t kFlags = 0x003F;
  static constexpr std::uint32_t kControls = 0xFFC0;
  static constexpr std::uint32_t kDefaultControls = 0x1F80;  // all masked, nearest
  static void compiler_barrier() noexcept { asm volatile("" ::: "memory"); }

  std::uint32_t saved_;
  bool changed_ = false;
};

#elif defined(__aarch64__)

class DefaultFloatEnvironment {
 public:
  // FPCR holds only controls (flags live in FPSR); zero is the default:
  // round to nearest, no flush-to-zero, no default-NaN mode, no traps.
  DefaultFloatEnvironment() noexcept : saved_(read_fpcr()) {
    if (saved_ != 0) write_fpcr(0);
  }
  ~DefaultFloatEnvironment() {
    if (saved_ != 0) write_fpcr(saved_);
  }
  DefaultFloatEnvironment(const DefaultFloatEnvironment&) = delete;
  DefaultFloatEnvironment& operator=(const DefaultFloatEnvironment&) = delete;

 private:
  static std::uint64_t read_fpcr() noexcept {
    std::uint64_t value;
    asm volatile("mrs %0, fpcr" : "=r"(value) : : "memory");
    return value;
  }
  static void write_fpcr(std::uint64_t value) noexcept {
    asm volatile("msr fpcr, %0" : : "r"(value) : "memory");
  }

  std::uint64_t saved_;
};

#else

// Other targets: the caller's environment is used as it is.
class DefaultFloatEnvironment {
 public:
  DefaultFloatEnvironment() noexcept = default;
  DefaultFloatEnvironment(const DefaultFloatEnvironment&) = delete;
  DefaultFloatEnvironment& operator=(const DefaultFloatEnvironment&) = delete;
};

#endif

}  // namespace lighting::detail
