// Checks the golden vectors from outside the project. Usage: consumer VECTORS
#include <cstdio>
#include <exception>

#include "golden_vectors.hpp"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: consumer GOLDEN_VECTORS\n");
    return 2;
  }
  try {
    const auto cases = lighting_test::load_golden_cases(argv[1]);
    const auto mismatches = lighting_test::find_mismatches(cases);
    const auto failures = lighting_test::unexplained(mismatches);
    for (const auto& failure : failures) {
      std::printf("mismatch: %s\n", lighting_test::describe(failure).c_str());
    }
    std::printf(
        "consumer: %zu golden vectors, %zu outputs differ through the platform's pow, "
        "%zu otherwise\n",
        cases.size(), mismatches.size() - failures.size(), failures.size());
    return failures.empty() && !cases.empty() ? 0 : 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "consumer: %s\n", error.what());
    return 2;
  }
}
