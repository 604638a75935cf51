#include "tone.hpp"

#include <algorithm>
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

std::int64_t tone_map_row(const ToneCurve& curve, std::span<const lighting::Vector3> energy,
                          std::span<std::uint8_t> rgb) {
  std::int64_t non_finite = 0;
  for (std::size_t i = 0; i < energy.size(); ++i) {
    std::uint8_t* pixel = &rgb[3 * i];
    if (!is_finite(energy[i])) {
      pixel[0] = pixel[1] = pixel[2] = 0;
      ++non_finite;
      continue;
    }
    pixel[0] = tone_map(curve, energy[i].x);
    pixel[1] = tone_map(curve, energy[i].y);
    pixel[2] = tone_map(curve, energy[i].z);
  }
  return non_finite;
}

double exposure_for(float brightest) {
  return brightest > 0.0f ? 1.0 / double(brightest) : 1.0;
}

}  // namespace render
