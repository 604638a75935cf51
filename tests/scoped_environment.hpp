// An environment variable set for one scope: the caller's value (or its
// absence) comes back on the way out, also when a failed assertion ends the
// test early, so that one test's setting never reaches the next.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

namespace lighting_test {

class ScopedEnvironment {
 public:
  explicit ScopedEnvironment(std::string name) : name_(std::move(name)) {
    if (const char* value = std::getenv(name_.c_str())) saved_ = value;
  }
  ~ScopedEnvironment() {
    if (saved_) {
      setenv(name_.c_str(), saved_->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  void set(const std::string& value) const { setenv(name_.c_str(), value.c_str(), 1); }

 private:
  std::string name_;
  std::optional<std::string> saved_;
};

}  // namespace lighting_test
