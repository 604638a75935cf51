// The C interface's statuses for the exceptions a C++ batch can throw: an
// allocation failure is reported as such, never as an overlap.
#include <lighting/lighting.h>

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include "c_status.hpp"

namespace {

template <typename Exception>
LightingStatus status_after_throwing(Exception exception) {
  try {
    throw exception;
  } catch (...) {
    return lighting::detail::status_of_current_exception();
  }
}

TEST(CStatus, EachExceptionHasItsOwnStatus) {
  EXPECT_EQ(status_after_throwing(std::bad_alloc()), LIGHTING_ERROR_OUT_OF_MEMORY);
  EXPECT_EQ(status_after_throwing(std::bad_array_new_length()), LIGHTING_ERROR_OUT_OF_MEMORY);
  EXPECT_EQ(status_after_throwing(std::invalid_argument("overlap")), LIGHTING_ERROR_OVERLAP);
  EXPECT_STREQ(lighting_status_message(LIGHTING_ERROR_OUT_OF_MEMORY), "out of memory");
}

}  // namespace
