#pragma once
// Helpers of the I/O handler and factory tests: a temporary directory and the lines
// of a log file.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "base/Text.h"
#include "platform/Clock.h"

namespace zvtest {

class LogDir {
 public:
  LogDir() {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    fPath = std::filesystem::temp_directory_path() /
            ("zvdev_" + std::string(info->name()) + "_" + std::to_string(::getpid()) + "_" +
             std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(fPath);
  }
  ~LogDir() {
    std::error_code ignored;
    std::filesystem::remove_all(fPath, ignored);
  }
  const std::filesystem::path& Path() const { return fPath; }
  zv::Text Dir() const { return zv::FromUtf8(fPath.string()); }
  std::vector<std::filesystem::path> Files() const {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(fPath)) files.push_back(entry.path());
    return files;
  }

 private:
  std::filesystem::path fPath;
};

inline std::string Today() {
  const zv::platform::CivilTime now = zv::platform::LocalNow();
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%04d%02d%02d", now.Year, now.Month, now.Day);
  return buffer;
}

inline std::string ReadFileBytes(const std::filesystem::path& aPath) {
  std::ifstream in(aPath, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// The log lines of a file with the time stamp cut off: "- message" becomes
// "I message", " - ERROR - message" becomes "E message". A text after a line break
// inside a message stays a line of its own, unchanged.
inline std::vector<std::string> LogLines(const std::filesystem::path& aPath) {
  static const std::regex kStamp(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}:\d{3} - (ERROR - )?([\s\S]*)$)");
  const std::string content = ReadFileBytes(aPath);
  std::vector<std::string> lines;
  size_t pos = 0;
  for (size_t next; (next = content.find("\r\n", pos)) != std::string::npos; pos = next + 2) {
    const std::string line = content.substr(pos, next - pos);
    std::smatch match;
    if (std::regex_match(line, match, kStamp))
      lines.push_back((match[1].matched ? "E " : "I ") + match[2].str());
    else
      lines.push_back(line);
  }
  return lines;
}

}  // namespace zvtest
