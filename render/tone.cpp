#include "tone.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "surface.hpp"

namespace render {

std::uint8_t srgb_code(double linear) {
  const double v = std::clamp(linear, 0.0, 1.0);
  const double encoded = v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1.0 / 2.4) - 0.055;
  return static_cast<std::uint8_t>(std::floor(255.0 * encoded + 0.5));
}

ToneCurve make_tone_curve(double exposure) {
  ToneCurve curve{exposure, {}, {}};
  for (int code = 1; code <= 255; ++code) {
    // srgb_code is non-decreasing, code(0) = 0 and code(1) = 255: bisect
    // until lo and hi are neighbouring doubles with code(lo) < code <= code(hi).
    double lo = 0.0;
    double hi = 1.0;
    while (std::nextafter(lo, hi) < hi) {
      const double mid = lo + (hi - lo) / 2;
      (srgb_code(mid) >= code ? hi : lo) = mid;
    }
    curve.steps[static_cast<std::size_t>(code - 1)] = hi;
  }
  curve.steps[255] = std::numeric_limits<double>::infinity();
  for (int bin = 0; bin <= ToneCurve::kBins; ++bin) {
    curve.bin_start[static_cast<std::size_t>(bin)] =
        srgb_code(static_cast<double>(bin) / ToneCurve::kBins);
  }
  return curve;
}

std::uint8_t tone_map(const ToneCurve& curve, float energy) {
  const double linear = std::clamp(double(energy) * curve.exposure, 0.0, 1.0);
  // Scaling by a power of two is exact, so the bin starts at or below linear.
  const auto bin = static_cast<std::size_t>(linear * ToneCurve::kBins);
  const unsigned start = curve.bin_start[bin];
  return static_cast<std::uint8_t>(start + (linear >= curve.steps[start] ? 1u : 0u));
}

// Why the code never falls as a float energy rises, for any exposure x >= 0
// (what make_tone_table's bisection and the whole ToneTable rely on).
// Take floats e1 < e2 and v = double(e) * x: multiplying by x >= 0 and
// rounding never reverses an order, so v1 <= v2; clamping keeps that too.
// srgb_code is then floor(255 * g(v) + 0.5) with two pieces of g:
// - up to 0.0031308, 12.92 * v: each rounded step is non-decreasing;
// - above, 1.055 * pow(v, 1 / 2.4) - 0.055: non-decreasing if pow is. pow
//   is within one ulp of the true root, whose values at v1 < v2 differ by far
//   more: two floats are 2^29 doubles apart, and x scales both alike, so v2 is
//   at least about v1 * (1 + 2^-24), and its root about v1's * (1 + 2^-26),
//   some 2^26 ulps higher (while v stays a normal double; below that, v is far
//   inside the first piece). So pow(v1) < pow(v2), and the steps after it
//   only round, never reverse.
// - where the pieces meet the curve jumps down by about 1e-5, but 255 * g + 0.5
//   is 10.81 on both sides, far from a whole number: the code is 10 either side.
// Codes therefore never fall; the tests check the table against srgb_code at
// every threshold, the float below it, and random energies.

namespace {

constexpr std::int32_t kInfinityBits = 0x7F800000;

// The float with these (non-negative, finite) bits as a double, built from
// its fields: exact, and not read as zero where subnormals are flushed
// (a program built with -ffast-math starts with that on).
double double_of_bits(std::int32_t bits) {
  const int exponent = bits >> 23;
  const int mantissa = bits & 0x7FFFFF;
  return exponent == 0 ? std::ldexp(mantissa, -149)
                       : std::ldexp(mantissa | 0x800000, exponent - 150);
}

int code_of_bits(double exposure, std::int32_t bits) {
  return srgb_code(double_of_bits(bits) * exposure);
}

// The least non-negative finite float bit pattern whose code reaches `code`,
// or +inf's if none does. code_of_bits(0) is 0, below every code sought.
std::int32_t threshold_of(double exposure, int code) {
  std::int32_t below = 0;                // code not reached
  std::int32_t reached = kInfinityBits;  // reached, or +inf
  while (reached - below > 1) {
    const std::int32_t middle = below + (reached - below) / 2;
    (code_of_bits(exposure, middle) >= code ? reached : below) = middle;
  }
  return reached;
}

int bin_of(const ToneTable& table, std::int32_t limited_bits) {
  return (std::max(limited_bits, table.base) - table.base) >> table.shift;
}

}  // namespace

ToneTable make_tone_table(double exposure) {
  ToneTable table{};
  table.exposure = exposure;
  int finite = 0;  // thresholds below +inf; they come first, in order
  for (int code = 1; code <= 255; ++code) {
    const std::int32_t threshold = threshold_of(exposure, code);
    table.thresholds[static_cast<std::size_t>(code - 1)] = threshold;
    if (threshold < kInfinityBits) finite = code;
  }
  table.thresholds[255] = kInfinityBits;
  if (finite > 0) {
    table.base = table.thresholds[0];
    table.limit = table.thresholds[static_cast<std::size_t>(finite - 1)];
  }
  while (((table.limit - table.base) >> table.shift) >= ToneTable::kBins) ++table.shift;

  int next = 0;  // thresholds in earlier bins
  for (int bin = 0; bin < ToneTable::kBins; ++bin) {
    table.first_code[static_cast<std::size_t>(bin)] = next;
    int in_bin = 0;
    while (next < finite &&
           bin_of(table, table.thresholds[static_cast<std::size_t>(next)]) == bin) {
      ++next;
      ++in_bin;
    }
    table.scan = std::max(table.scan, in_bin);
  }
  return table;
}

std::uint8_t tone_map(const ToneTable& table, float energy) {
  const std::int32_t bits = std::min(std::bit_cast<std::int32_t>(energy), table.limit);
  int code = table.first_code[static_cast<std::size_t>(bin_of(table, bits))];
  for (int step = 0; step < table.scan; ++step) {
    code += bits >= table.thresholds[static_cast<std::size_t>(code)] ? 1 : 0;
  }
  return static_cast<std::uint8_t>(code);
}

std::int64_t tone_map_row(const ToneTable& table, std::span<const lighting::Vector3> energy,
                          std::span<std::uint8_t> rgb) {
  if (energy.empty()) return 0;
  // Channel by channel as one run of floats, then, only in the rare row that
  // has any, the non-finite pixels blacked out.
  if (detail::tone_map_values(table, &energy.data()->x, 3 * energy.size(), rgb.data())) return 0;
  std::int64_t non_finite = 0;
  for (std::size_t i = 0; i < energy.size(); ++i) {
    if (!is_finite(energy[i])) {
      rgb[3 * i] = rgb[3 * i + 1] = rgb[3 * i + 2] = 0;
      ++non_finite;
    }
  }
  return non_finite;
}

double exposure_for(float brightest) {
  return brightest > 0.0f ? 1.0 / double(brightest) : 1.0;
}

}  // namespace render
