// The first 2^16 one-hash cases (determinism_cases.hpp) and the native
// library's outputs for them, written as little-endian 32-bit words for the
// browser tests. Per group of 16 cases: the light (7 words), then per case
// its point, normal and reflectance (9 words) and the 14 outputs of the
// default flavour, then the 14 of the portable flavour (the order of
// determinism_test.cpp: distance, direction, dot, received, diffused with the
// case's own surface, diffused with case 0's surface). NaNs are one word.
//
// Usage: determinism_slice OUTPUT
#include <lighting/lighting.hpp>

#include <array>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "../determinism_cases.hpp"

namespace {

using lighting::PointLight;
using lighting::Vector3;
using namespace lighting_test::determinism;

constexpr std::uint64_t kSeed = 0x6C69676874696E67u;  // "lighting", as the one-hash test
constexpr std::size_t kCases = std::size_t{1} << 16;

std::uint32_t word(float value) {
  const auto bits = std::bit_cast<std::uint32_t>(value);
  return (bits & 0x7FFFFFFFu) > 0x7F800000u ? 0x7FC00000u : bits;
}

template <class Light, class Direction, class Received, class Diffused>
void outputs(const Group& group, const Case& c,
             float (*distance)(const Vector3&, const Light&) noexcept, Direction direction,
             float (*dot)(const Vector3&, const Vector3&) noexcept, Received received,
             Diffused diffused, std::vector<std::uint32_t>& words) {
  Vector3 d{}, r{}, e{}, p{};
  direction(c.point, group.light, d);
  received(c.point, group.light, r);
  diffused(c.point, c.normal, c.reflectance, group.light, e);
  diffused(c.point, group.cases[0].normal, group.cases[0].reflectance, group.light, p);
  for (const float value :
       {distance(c.point, group.light), d.x, d.y, d.z, dot(c.normal, c.reflectance), r.x, r.y, r.z,
        e.x, e.y, e.z, p.x, p.y, p.z}) {
    words.push_back(word(value));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: determinism_slice OUTPUT\n");
    return 2;
  }
  std::vector<std::uint32_t> words;
  for (std::size_t g = 0; g * kGroupSize < kCases; ++g) {
    const Group group = make_group(kSeed, g);
    const PointLight& l = group.light;
    for (const float value :
         {l.position.x, l.position.y, l.position.z, l.r, l.g, l.b, l.intensity}) {
      words.push_back(std::bit_cast<std::uint32_t>(value));
    }
    for (const Case& c : group.cases) {
      for (const Vector3& v : {c.point, c.normal, c.reflectance}) {
        for (const float value : {v.x, v.y, v.z})
          words.push_back(std::bit_cast<std::uint32_t>(value));
      }
      outputs<PointLight>(
          group, c, lighting::light_distance,
          [](const Vector3& a, const PointLight& b, Vector3& o) {
            lighting::light_direction(a, b, o);
          },
          lighting::dot_product,
          [](const Vector3& a, const PointLight& b, Vector3& o) {
            lighting::received_energy(a, b, o);
          },
          [](const Vector3& a, const Vector3& n, const Vector3& r, const PointLight& b,
             Vector3& o) { lighting::diffused_energy(a, n, r, b, o); },
          words);
      outputs<PointLight>(
          group, c, lighting::portable::light_distance,
          [](const Vector3& a, const PointLight& b, Vector3& o) {
            lighting::portable::light_direction(a, b, o);
          },
          lighting::portable::dot_product,
          [](const Vector3& a, const PointLight& b, Vector3& o) {
            lighting::portable::received_energy(a, b, o);
          },
          [](const Vector3& a, const Vector3& n, const Vector3& r, const PointLight& b,
             Vector3& o) { lighting::portable::diffused_energy(a, n, r, b, o); },
          words);
    }
  }
  std::FILE* file = std::fopen(argv[1], "wb");
  if (file == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  std::vector<unsigned char> bytes;
  for (const std::uint32_t w : words) {
    for (int b = 0; b < 4; ++b) bytes.push_back(static_cast<unsigned char>(w >> (8 * b)));
  }
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  if (std::fclose(file) != 0 || !ok) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
