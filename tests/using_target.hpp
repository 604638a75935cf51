// Selects one SIMD target for the batch functions while in scope, and puts
// the normal choice back afterwards.
#pragma once

#include <gtest/gtest.h>

#include <string_view>

#include "batch_kernel.hpp"

namespace lighting_test {

class UsingTarget {
 public:
  explicit UsingTarget(std::string_view name) {
    EXPECT_TRUE(lighting::detail::use_batch_target(name)) << name;
  }
  ~UsingTarget() { lighting::detail::use_batch_target({}); }
  UsingTarget(const UsingTarget&) = delete;
  UsingTarget& operator=(const UsingTarget&) = delete;
};

}  // namespace lighting_test
