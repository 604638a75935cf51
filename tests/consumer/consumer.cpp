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
    for (const auto& mismatch : mismatches) {
      std::printf("mismatch: %s\n", lighting_test::describe(mismatch).c_str());
    }
    std::printf("consumer: %zu golden vectors, %zu mismatched outputs\n", cases.size(),
                mismatches.size());
    return mismatches.empty() && !cases.empty() ? 0 : 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "consumer: %s\n", error.what());
    return 2;
  }
}
