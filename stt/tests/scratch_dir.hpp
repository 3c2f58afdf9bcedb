#pragma once

// A fresh directory for each test, removed when the test ends, and a way to
// read back what the tool wrote there.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>

class ScratchDirTest : public ::testing::Test {
 protected:
  explicit ScratchDirTest(std::string prefix) : prefix_(std::move(prefix)) {}

  void SetUp() override {
    // The pid keeps parallel runs of the same test apart; a parameterised
    // test's name holds a slash, which must not make a nested directory.
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char& c : name)
      if (c == '/') c = '_';
    dir_ = std::filesystem::temp_directory_path() /
           ("ombru-stt-" + prefix_ + "-" + std::to_string(::getpid()) + "-" + name);
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::filesystem::path dir_;

 private:
  std::string prefix_;
};

inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}
