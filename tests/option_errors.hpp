// What the command line's parser says about a line, for the option tests.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "options.hpp"

namespace lighting_test {

// The message a parse fails with, or "" when it succeeds.
inline std::string parse_error(const std::vector<std::string>& arguments) {
  try {
    render::parse_options(arguments);
  } catch (const std::invalid_argument& error) {
    return error.what();
  }
  return "";
}

}  // namespace lighting_test
