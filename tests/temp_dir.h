#pragma once

// A fresh directory per test (test cases run in parallel processes), removed afterwards.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = std::filesystem::temp_directory_path() / "retina_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string path(const std::string& name) const { return dir_ / name; }

  // Every entry's name with its content (a directory's and a link's are marked as such):
  // a run that writes, renames or deletes anything changes it.
  std::map<std::string, std::string> contents() const {
    std::map<std::string, std::string> all;
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
      const std::string name = entry.path().filename();
      if (entry.is_symlink()) {
        all[name] = "-> " + std::filesystem::read_symlink(entry.path()).string();
      } else if (entry.is_directory()) {
        all[name] = "<dir>";
      } else {
        std::ifstream in(entry.path(), std::ios::binary);
        all[name] = std::string(std::istreambuf_iterator<char>(in), {});
      }
    }
    return all;
  }

  std::filesystem::path dir_;
};
