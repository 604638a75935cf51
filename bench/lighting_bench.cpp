// Nanoseconds per call of the five lighting operations, over a ring of varied
// inputs so that neither the branch predictor nor the compiler sees one case.
#include <lighting/lighting.hpp>

#include <benchmark/benchmark.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>

namespace {

struct Inputs {
  lighting::Vector3 point, normal, reflectance;
  lighting::PointLight light;
};

const std::array<Inputs, 1024>& inputs() {
  static const auto ring = [] {
    std::array<Inputs, 1024> values{};
    std::mt19937 random(42);
    std::uniform_real_distribution<float> coordinate(-10.0f, 10.0f);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (auto& v : values) {
      v.point = {coordinate(random), coordinate(random), coordinate(random)};
      v.normal = {unit(random), unit(random), unit(random)};
      v.reflectance = {unit(random), unit(random), unit(random)};
      v.light = {{coordinate(random), coordinate(random), coordinate(random)},
                 unit(random),
                 unit(random),
                 unit(random),
                 10.0f * unit(random)};
    }
    return values;
  }();
  return ring;
}

template <typename Operation>
void run(benchmark::State& state, Operation operation) {
  const auto& ring = inputs();
  std::size_t i = 0;
  for (auto _ : state) {
    operation(ring[i]);
    i = (i + 1) % ring.size();
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_LightDistance(benchmark::State& state) {
  run(state, [](const Inputs& in) {
    benchmark::DoNotOptimize(lighting::light_distance(in.point, in.light));
  });
}

void BM_LightDirection(benchmark::State& state) {
  run(state, [](const Inputs& in) {
    lighting::Vector3 out;
    lighting::light_direction(in.point, in.light, out);
    benchmark::DoNotOptimize(out);
  });
}

void BM_DotProduct(benchmark::State& state) {
  run(state, [](const Inputs& in) {
    benchmark::DoNotOptimize(lighting::dot_product(in.normal, in.reflectance));
  });
}

void BM_ReceivedEnergy(benchmark::State& state) {
  run(state, [](const Inputs& in) {
    lighting::Vector3 out;
    lighting::received_energy(in.point, in.light, out);
    benchmark::DoNotOptimize(out);
  });
}

void BM_DiffusedEnergy(benchmark::State& state) {
  run(state, [](const Inputs& in) {
    lighting::Vector3 out;
    lighting::diffused_energy(in.point, in.normal, in.reflectance, in.light, out);
    benchmark::DoNotOptimize(out);
  });
}

void BM_PortableDiffusedEnergy(benchmark::State& state) {
  run(state, [](const Inputs& in) {
    lighting::Vector3 out;
    lighting::portable::diffused_energy(in.point, in.normal, in.reflectance, in.light, out);
    benchmark::DoNotOptimize(out);
  });
}

// The library's diffused_energy written inline, with one root a point: the
// floor a call into the library is measured against. Root is pow(s, 0.5)
// or sqrt(s).
template <double (*Root)(double)>
lighting::Vector3 inline_diffused_energy(const Inputs& in) {
  const auto& p = in.point;
  const auto& l = in.light;
  const double dx = double(l.position.x) - double(p.x);
  const double dy = double(l.position.y) - double(p.y);
  const double dz = double(l.position.z) - double(p.z);
  const double length = Root((dx * dx + dy * dy) + dz * dz);
  const auto distance = static_cast<float>(length);
  const auto falloff = static_cast<float>((1.0 / double(distance)) / double(distance));
  const double scale = double(falloff) * double(l.intensity);
  const auto er = static_cast<float>(scale * double(l.r));
  const auto eg = static_cast<float>(scale * double(l.g));
  const auto eb = static_cast<float>(scale * double(l.b));
  const auto ux = static_cast<float>(dx / length);
  const auto uy = static_cast<float>(dy / length);
  const auto uz = static_cast<float>(dz / length);
  const auto& n = in.normal;
  auto cosine = static_cast<float>((double(uy) * double(n.y) + double(ux) * double(n.x)) +
                                   double(uz) * double(n.z));
  // The library's branch-free clamp: +0 where the cosine is negative.
  const std::uint32_t keep = cosine < 0.0f ? 0u : ~0u;
  cosine = std::bit_cast<float>(std::bit_cast<std::uint32_t>(cosine) & keep);
  const auto& r = in.reflectance;
  return {static_cast<float>((double(er) * double(cosine)) * double(r.x)),
          static_cast<float>((double(eg) * double(cosine)) * double(r.y)),
          static_cast<float>((double(eb) * double(cosine)) * double(r.z))};
}

double pow_root(double s) {
  return std::pow(s, 0.5);
}
double sqrt_root(double s) {
  return std::sqrt(s);
}

void BM_DiffusedEnergyInlineOnePow(benchmark::State& state) {
  run(state,
      [](const Inputs& in) { benchmark::DoNotOptimize(inline_diffused_energy<pow_root>(in)); });
}

void BM_DiffusedEnergyInlineOneSqrt(benchmark::State& state) {
  run(state,
      [](const Inputs& in) { benchmark::DoNotOptimize(inline_diffused_energy<sqrt_root>(in)); });
}

BENCHMARK(BM_LightDistance);
BENCHMARK(BM_LightDirection);
BENCHMARK(BM_DotProduct);
BENCHMARK(BM_ReceivedEnergy);
BENCHMARK(BM_DiffusedEnergy);
BENCHMARK(BM_DiffusedEnergyInlineOnePow);
BENCHMARK(BM_PortableDiffusedEnergy);
BENCHMARK(BM_DiffusedEnergyInlineOneSqrt);

}  // namespace
