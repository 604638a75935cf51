// Differential fuzzing: the three batch functions against the scalar ones,
// bit for bit (a NaN matches any NaN), on a target chosen by the input.
// Any difference, or a write outside an output span, prints what differed
// and aborts.
//
// Input layout (a short input reads as zeros past its end):
//   byte 0       the batch target: an index into batch_targets(), modulo their number
//   byte 1       bits 0-2: shade in place (out is the points span) for
//                received_energy, diffused_energy with one plane, with a
//                surface per point; bit 3: ordinary exponents (below);
//                bits 4-5: how many guard points precede each span in its buffer;
//                bit 6: the portable flavour (lighting::portable), else the
//                pow flavour
//   next 52      the light (position, r, g, b, intensity), the plane's
//                normal and reflectance: 13 floats
//   then 36 each one point: position, normal, reflectance (9 floats)
// Every float is four bytes taken as a raw bit pattern, little-endian, so
// infinities, NaNs, subnormals and huge values all appear. With ordinary
// exponents each finite nonzero value is moved to the binades 2^-8 to 2^8,
// keeping its sign and fraction: scenes like real ones, where the lengths
// and directions the kernels check for near ties are mostly well defined.
#include <lighting/lighting.hpp>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string_view>
#include <vector>

#include "batch_kernel.hpp"

namespace {

using lighting::PointLight;
using lighting::Vector3;

constexpr std::size_t kHeaderBytes = 2 + 13 * 4;
constexpr std::size_t kPointBytes = 9 * 4;
constexpr std::uint32_t kGuardBits = 0x7FA5A5A5u;  // a NaN no kernel writes
// A fresh output starts as this ordinary number, not as zeros or a NaN, so
// that an element the batch forgot to write cannot pass for a result.
constexpr std::uint32_t kUnwrittenBits = 0x1F2E3D4Cu;

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint8_t byte() { return at(next_++); }

  void set_ordinary(bool ordinary) { ordinary_ = ordinary; }

  float number() {
    std::uint32_t bits = 0;
    for (int shift = 0; shift < 32; shift += 8) bits |= std::uint32_t{byte()} << shift;
    if (ordinary_) bits = with_ordinary_exponent(bits);
    return std::bit_cast<float>(bits);
  }

  Vector3 triple() {
    const float x = number();
    const float y = number();
    const float z = number();
    return {x, y, z};
  }

 private:
  std::uint8_t at(std::size_t i) const { return i < size_ ? data_[i] : 0; }

  static std::uint32_t with_ordinary_exponent(std::uint32_t bits) {
    const std::uint32_t exponent = (bits >> 23) & 0xFFu;
    if (exponent == 0 || exponent == 0xFFu) return bits;  // zeros, subnormals, specials stay
    const std::uint32_t ordinary = 127u - 8u + exponent % 17u;
    return (bits & ~(0xFFu << 23)) | (ordinary << 23);
  }

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t next_ = 0;
  bool ordinary_ = false;
};

struct Case {
  std::string_view target;
  bool in_place[3] = {};
  std::size_t guards = 0;
  bool portable = false;
  PointLight light{};
  Vector3 normal{}, reflectance{};
  std::vector<Vector3> points, normals, reflectances;
};

const std::vector<std::string_view>& targets() {
  static const std::vector<std::string_view> names = lighting::batch_targets();
  return names;
}

Case read_case(const std::uint8_t* data, std::size_t size) {
  Reader in(data, size);
  Case c;
  c.target = targets()[in.byte() % targets().size()];
  const std::uint8_t flags = in.byte();
  for (int i = 0; i < 3; ++i) c.in_place[i] = (flags >> i) & 1u;
  in.set_ordinary(((flags >> 3) & 1u) != 0);
  c.guards = (flags >> 4) & 3u;
  c.portable = ((flags >> 6) & 1u) != 0;
  c.light.position = in.triple();
  c.light.r = in.number();
  c.light.g = in.number();
  c.light.b = in.number();
  c.light.intensity = in.number();
  c.normal = in.triple();
  c.reflectance = in.triple();
  const std::size_t count = size > kHeaderBytes ? (size - kHeaderBytes) / kPointBytes : 0;
  for (std::size_t i = 0; i < count; ++i) {
    c.points.push_back(in.triple());
    c.normals.push_back(in.triple());
    c.reflectances.push_back(in.triple());
  }
  return c;
}

bool is_nan_bits(std::uint32_t bits) {
  return (bits & 0x7FFFFFFFu) > 0x7F800000u;
}

bool same_result(float expected, float actual) {
  const auto e = std::bit_cast<std::uint32_t>(expected);
  const auto a = std::bit_cast<std::uint32_t>(actual);
  return e == a || (is_nan_bits(e) && is_nan_bits(a));
}

bool same_result(const Vector3& expected, const Vector3& actual) {
  return same_result(expected.x, actual.x) && same_result(expected.y, actual.y) &&
         same_result(expected.z, actual.z);
}

void print_triple(const char* name, const Vector3& v) {
  std::fprintf(stderr, " %s (%a, %a, %a)", name, double(v.x), double(v.y), double(v.z));
}

[[noreturn]] void report(const Case& c, const char* function, std::size_t i, const char* what,
                         const Vector3& expected, const Vector3& actual) {
  std::fprintf(stderr, "batch_fuzz: %s on %.*s, %zu points: %s at %zu:", function,
               static_cast<int>(c.target.size()), c.target.data(), c.points.size(), what, i);
  print_triple("expected", expected);
  print_triple("got", actual);
  std::fprintf(stderr, "\n ");
  if (i < c.points.size()) {
    print_triple("point", c.points[i]);
    print_triple("normal", c.normals[i]);
    print_triple("reflectance", c.reflectances[i]);
  }
  print_triple("plane normal", c.normal);
  print_triple("plane reflectance", c.reflectance);
  print_triple("light position", c.light.position);
  std::fprintf(stderr, " colour %a %a %a intensity %a\n", double(c.light.r), double(c.light.g),
               double(c.light.b), double(c.light.intensity));
  std::abort();
}

// An output span at the end of its buffer, so that AddressSanitizer sees any
// write past it, behind guard points that must stay as they were.
struct Output {
  std::vector<Vector3> buffer;
  std::span<Vector3> span;

  Output(std::size_t guards, std::span<const Vector3> initial) {
    const float guard = std::bit_cast<float>(kGuardBits);
    buffer.assign(guards, Vector3{guard, guard, guard});
    buffer.insert(buffer.end(), initial.begin(), initial.end());
    span = std::span<Vector3>(buffer).subspan(guards);
  }

  bool guards_intact() const {
    for (std::size_t i = 0; i < buffer.size() - span.size(); ++i) {
      const Vector3& v = buffer[i];
      for (const float f : {v.x, v.y, v.z}) {
        if (std::bit_cast<std::uint32_t>(f) != kGuardBits) return false;
      }
    }
    return true;
  }
};

// Runs one batch function, in place or into a fresh buffer, and compares
// each element with the scalar function's.
template <typename Batch, typename Scalar>
void check(const Case& c, const char* function, bool in_place, Batch batch, Scalar scalar) {
  const float unwritten = std::bit_cast<float>(kUnwrittenBits);
  const std::vector<Vector3> fresh(c.points.size(), Vector3{unwritten, unwritten, unwritten});
  Output out(c.guards, in_place ? c.points : fresh);
  Output points(c.guards, c.points);
  const std::span<const Vector3> batch_points = in_place ? out.span : points.span;
  batch(batch_points, out.span);
  if (!out.guards_intact()) {
    report(c, function, 0, "wrote before its output span", Vector3{}, out.buffer.front());
  }
  for (std::size_t i = 0; i < c.points.size(); ++i) {
    Vector3 expected{};
    scalar(i, expected);
    if (!same_result(expected, out.span[i])) {
      report(c, function, i, in_place ? "in place, differs" : "differs", expected, out.span[i]);
    }
  }
}

// The three batch functions of one flavour against its scalar functions.
template <lighting::detail::Flavour flavour>
void check_flavour(const Case& c) {
  constexpr bool kPortable = flavour == lighting::detail::Flavour::portable;
  const auto received_batch = [](auto&&... args) {
    if constexpr (kPortable) {
      lighting::portable::received_energy(args...);
    } else {
      lighting::received_energy(args...);
    }
  };
  const auto diffused = [](auto&&... args) {
    if constexpr (kPortable) {
      lighting::portable::diffused_energy(args...);
    } else {
      lighting::diffused_energy(args...);
    }
  };
  check(
      c, kPortable ? "portable::received_energy" : "received_energy", c.in_place[0],
      [&](std::span<const Vector3> points, std::span<Vector3> out) {
        received_batch(points, c.light, out);
      },
      [&](std::size_t i, Vector3& out) { received_batch(c.points[i], c.light, out); });
  check(
      c, kPortable ? "portable::diffused_energy (one plane)" : "diffused_energy (one plane)",
      c.in_place[1],
      [&](std::span<const Vector3> points, std::span<Vector3> out) {
        diffused(points, c.normal, c.reflectance, c.light, out);
      },
      [&](std::size_t i, Vector3& out) {
        diffused(c.points[i], c.normal, c.reflectance, c.light, out);
      });
  check(
      c, kPortable ? "portable::diffused_energy (per point)" : "diffused_energy (per point)",
      c.in_place[2],
      [&](std::span<const Vector3> points, std::span<Vector3> out) {
        diffused(points, std::span<const Vector3>(c.normals),
                 std::span<const Vector3>(c.reflectances), c.light, out);
      },
      [&](std::size_t i, Vector3& out) {
        diffused(c.points[i], c.normals[i], c.reflectances[i], c.light, out);
      });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Case c = read_case(data, size);
  if (!lighting::detail::use_batch_target(c.target)) std::abort();
  if (c.portable) {
    check_flavour<lighting::detail::Flavour::portable>(c);
  } else {
    check_flavour<lighting::detail::Flavour::pow>(c);
  }
  lighting::detail::use_batch_target({});
  return 0;
}
