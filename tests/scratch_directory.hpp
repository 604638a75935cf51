// A fixture with a folder of its own for each test's files, removed after
// the test: temp_directory_path()/PREFIX-PID-TEST.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace lighting_test {

class ScratchDirectoryTest : public ::testing::Test {
 protected:
  explicit ScratchDirectoryTest(std::string prefix) : prefix_(std::move(prefix)) {}

  void SetUp() override {
    directory_ = std::filesystem::temp_directory_path() /
                 (prefix_ + "-" + std::to_string(getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(directory_);
    std::filesystem::create_directories(directory_);
  }
  void TearDown() override { std::filesystem::remove_all(directory_); }

  std::string path(const std::string& name) const { return directory_ / name; }
  std::vector<std::filesystem::path> files() const {
    return {std::filesystem::directory_iterator(directory_), std::filesystem::directory_iterator()};
  }

 private:
  std::string prefix_;
  std::filesystem::path directory_;
};

}  // namespace lighting_test
