// Runs the library's arithmetic under the default floating-point environment.
//
// The results are specified for round-to-nearest with subnormals honoured and
// exceptions masked. A caller may have changed that: a program linked with
// -ffast-math starts with flush-to-zero and denormals-are-zero set, and
// fesetround or feenableexcept change the rest. The scope below installs the
// default controls when they differ and puts the caller's back on exit,
// keeping the exception flags the computation raised, so the caller sees the
// same flags as if it had done the arithmetic itself. When the controls are
// already the defaults (the common case) it costs one register read per unit.
//
// On 32-bit x86 there are two units: the library's own arithmetic is SSE2
// (MXCSR), but the C library's pow runs on the x87, under the x87 control
// word, whose rounding mode and precision control (single precision, as
// -mpc32 sets it, or double) would change pow's last bits. Both are set.
// mingw-w64's pow runs on the x87 on x86-64 too (and its fesetround sets both
// units), so Windows builds set both as well.
#pragma once

#include <cstdint>

#if defined(__i386__) || (defined(__x86_64__) && defined(__MINGW64__))
#define LIGHTING_X87_POW 1
#endif

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
#if defined(LIGHTING_X87_POW)
    if ((saved_x87_ & kX87Controls) != kX87DefaultControls) {
      write_x87_control(
          static_cast<std::uint16_t>((saved_x87_ & ~kX87Controls) | kX87DefaultControls));
    }
#endif
    compiler_barrier();
  }
  ~DefaultFloatEnvironment() {
    compiler_barrier();
    std::uint32_t moved_flags = 0;
#if defined(LIGHTING_X87_POW)
    moved_flags = restore_x87();
#endif
    if (changed_) {
      _mm_setcsr(saved_ | (_mm_getcsr() & kFlags) | moved_flags);
    } else if (moved_flags != 0) {
      _mm_setcsr(_mm_getcsr() | moved_flags);
    }
  }
  DefaultFloatEnvironment(const DefaultFloatEnvironment&) = delete;
  DefaultFloatEnvironment& operator=(const DefaultFloatEnvironment&) = delete;

 private:
  // MXCSR: bits 0-5 are the sticky exception flags; the rest are controls
  // (denormals-are-zero, the six exception masks, rounding, flush-to-zero).
  static constexpr std::uint32_t kFlags = 0x003F;
  static constexpr std::uint32_t kControls = 0xFFC0;
  static constexpr std::uint32_t kDefaultControls = 0x1F80;  // all masked, nearest
  static void compiler_barrier() noexcept {
    asm volatile("" ::: "memory");
  }

  std::uint32_t saved_;
  bool changed_ = false;

#if defined(LIGHTING_X87_POW)
  // x87 control word: bits 0-5 exception masks, 8-9 precision control, 10-11
  // rounding. The default is every exception masked, 64-bit significands and
  // round to nearest, as the process starts. The x87 status word keeps its
  // flags in bits 0-5, in the same order as MXCSR's.
  static constexpr std::uint16_t kX87Controls = 0x0F3F;
  static constexpr std::uint16_t kX87DefaultControls = 0x033F;

  static std::uint16_t read_x87_control() noexcept {
    std::uint16_t word;
    asm volatile("fnstcw %0" : "=m"(word) : : "memory");
    return word;
  }
  static void write_x87_control(std::uint16_t word) noexcept {
    asm volatile("fldcw %0" : : "m"(word) : "memory");
  }
  static std::uint16_t read_x87_status() noexcept {
    std::uint16_t word;
    asm volatile("fnstsw %0" : "=m"(word) : : "memory");
    return word;
  }

  // Puts the caller's control word back. An x87 flag that is set while the
  // caller's word unmasks it would trap at the caller's next x87 instruction,
  // long after the call; MXCSR flags never trap by being set. So when the
  // caller unmasks anything, the x87 flags move to MXCSR, where fetestexcept
  // still reports them, and the x87 flags are cleared. Returns the moved flags.
  std::uint32_t restore_x87() noexcept {
    if ((saved_x87_ & kX87Controls) == kX87DefaultControls) return 0;
    std::uint32_t moved = 0;
    if ((~std::uint32_t{saved_x87_} & kFlags) != 0) {
      moved = read_x87_status() & kFlags;
      if (moved != 0) asm volatile("fnclex" ::: "memory");
    }
    write_x87_control(saved_x87_);
    return moved;
  }

  std::uint16_t saved_x87_ = read_x87_control();
#endif
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

// Other targets: the caller's environment is used as it is. (WebAssembly has
// no other: round to nearest, subnormals kept, no traps.) The constructor is
// user-provided so that compilers see a scope object, not an unused variable.
class DefaultFloatEnvironment {
 public:
  DefaultFloatEnvironment() noexcept {}  // NOLINT(modernize-use-equals-default)
  DefaultFloatEnvironment(const DefaultFloatEnvironment&) = delete;
  DefaultFloatEnvironment& operator=(const DefaultFloatEnvironment&) = delete;
};

#endif

}  // namespace lighting::detail
