#pragma once
// A folder of its own for one test, named after the test and the process, removed with
// everything in it at the end.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>

#include "base/Text.h"

namespace zvtest {

class TempDir {
 public:
  // aKind starts the folder's name ("zvlog", "zvstate").
  explicit TempDir(const std::string& aKind = "zvtest") {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    // A table row's name holds a "/": keep the folder one level deep.
    std::string name = info != nullptr ? info->name() : "none";
    std::replace(name.begin(), name.end(), '/', '_');
    fPath = std::filesystem::temp_directory_path() /
            (aKind + "_" + name + "_" + std::to_string(::getpid()) + "_" +
             std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(fPath);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(fPath, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Path() const { return fPath; }
  zv::Text Dir() const { return zv::FromUtf8(fPath.string()); }

 private:
  std::filesystem::path fPath;
};

}  // namespace zvtest
