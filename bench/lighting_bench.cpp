// Nanoseconds per call of the five lighting operations, over a ring of varied
// inputs so that neither the branch predictor nor the compiler sees one case.
#include <lighting/lighting.hpp>

#include <benchmark/benchmark.h>

#include <array>
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

BENCHMARK(BM_LightDistance);
BENCHMARK(BM_LightDirection);
BENCHMARK(BM_DotProduct);
BENCHMARK(BM_ReceivedEnergy);
BENCHMARK(BM_DiffusedEnergy);

}  // namespace
