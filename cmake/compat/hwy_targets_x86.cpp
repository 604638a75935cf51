// Highway's two run-time functions that the batch kernel calls, for an x86-64
// target whose Highway comes as headers only (mingw-w64: Debian ships no
// Highway library for it). The rest of Highway's dispatch is in its headers.
//
// SupportedTargets reads the processor's features with CPUID, and the
// operating system's support for the wider registers with XGETBV, and
// reports each x86 target whose whole feature set is present, as Highway's
// own library does, plus the portable targets, which always run.
#include <hwy/highway.h>
#include <hwy/targets.h>

#include <cpuid.h>

#include <cstdint>

namespace hwy {

namespace {

struct CpuidWords {
  std::uint32_t eax = 0, ebx = 0, ecx = 0, edx = 0;
};

CpuidWords cpuid(std::uint32_t leaf, std::uint32_t subleaf) {
  CpuidWords words;
  if (__get_cpuid_max(leaf & 0x80000000u, nullptr) >= leaf) {
    __cpuid_count(leaf, subleaf, words.eax, words.ebx, words.ecx, words.edx);
  }
  return words;
}

constexpr bool has(std::uint32_t word, int bit) {
  return ((word >> bit) & 1u) != 0;
}

// The register state the operating system saves (XCR0), 0 without OSXSAVE.
std::uint64_t saved_register_state(const CpuidWords& leaf1) {
  if (!has(leaf1.ecx, 27)) return 0;
  std::uint32_t low = 0, high = 0;
  asm volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  return (std::uint64_t{high} << 32) | low;
}

std::int64_t detect_x86_targets() {
  const CpuidWords leaf1 = cpuid(1, 0);
  const CpuidWords leaf7 = cpuid(7, 0);
  const CpuidWords extended1 = cpuid(0x80000001u, 0);
  const std::uint64_t state = saved_register_state(leaf1);
  const bool ymm_saved = (state & 0x6) == 0x6;                 // SSE and AVX state
  const bool zmm_saved = ymm_saved && (state & 0xE0) == 0xE0;  // opmask, ZMM0-15 high, ZMM16-31

  const bool ssse3 = has(leaf1.edx, 25) && has(leaf1.edx, 26) && has(leaf1.ecx, 0) &&
                     has(leaf1.ecx, 9);  // SSE, SSE2, SSE3, SSSE3
  const bool sse4 = ssse3 && has(leaf1.ecx, 19) && has(leaf1.ecx, 20) && has(leaf1.ecx, 1) &&
                    has(leaf1.ecx, 25);  // SSE4.1, SSE4.2, CLMUL, AES
  const bool avx2 = sse4 && ymm_saved && has(leaf1.ecx, 28) && has(leaf7.ebx, 5) &&
                    has(leaf7.ebx, 3) && has(leaf7.ebx, 8) && has(leaf1.ecx, 29) &&
                    has(leaf1.ecx, 12) &&
                    has(extended1.ecx, 5);  // AVX, AVX2, BMI1, BMI2, F16C, FMA, LZCNT
  const bool avx3 = avx2 && zmm_saved && has(leaf7.ebx, 16) && has(leaf7.ebx, 31) &&
                    has(leaf7.ebx, 17) && has(leaf7.ebx, 30);  // AVX-512 F, VL, DQ, BW
  const bool avx3_dl =
      avx3 && has(leaf7.ecx, 11) && has(leaf7.ecx, 10) && has(leaf7.ecx, 1) && has(leaf7.ecx, 6) &&
      has(leaf7.ecx, 9) && has(leaf7.ecx, 14) &&
      has(leaf7.ecx, 12);  // VNNI, VPCLMULQDQ, VBMI, VBMI2, VAES, VPOPCNTDQ, BITALG

  std::int64_t targets = HWY_EMU128 | HWY_SCALAR;
  if (ssse3) targets |= HWY_SSSE3;
  if (sse4) targets |= HWY_SSE4;
  if (avx2) targets |= HWY_AVX2;
  if (avx3) targets |= HWY_AVX3;
  if (avx3_dl) targets |= HWY_AVX3_DL;
  return targets;
}

}  // namespace

int64_t SupportedTargets() {
  static const std::int64_t targets = detect_x86_targets();
  return targets;
}

ChosenTarget& GetChosenTarget() {
  static ChosenTarget chosen;
  return chosen;
}

}  // namespace hwy
