#pragma once
// Helpers of the application-base tests: a temporary directory, file reading, an
// application environment over that directory with a clock the test sets, and a scope
// that makes an application object the global one.

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "TestText.h"
#include "app/uZV_Base.h"
#include "platform/Clock.h"
#include "platform/Resources.h"

namespace zvtest {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    // Parameterised tests have a "/" in their names.
    std::string name = info->name();
    for (char& c : name)
      if (c == '/') c = '_';
    fPath = fs::temp_directory_path() /
            ("zvbase_" + name + "_" + std::to_string(::getpid()) + "_" +
             std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    fs::create_directories(fPath);
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(fPath, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& Path() const { return fPath; }

 private:
  fs::path fPath;
};

inline std::string ReadFile(const fs::path& aPath) {
  std::ifstream in(aPath, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Waits until the file holds aNeedle (log lines are written in the background).
inline bool WaitForText(const fs::path& aPath, const std::string& aNeedle, int aSeconds = 20) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(aSeconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (ReadFile(aPath).find(aNeedle) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// An environment whose executable is aDir/POS, with the given arguments, the module's
// own string table, the given raw resources and a clock that reads *aClock.
inline zv::tZV_ApplicationEnvironment TestEnvironment(const fs::path& aDir, std::vector<zv::Text> aArguments = {},
                                                      std::map<zv::Text, std::string> aResources = {},
                                                      const zv::DateTime* aClock = nullptr) {
  zv::tZV_ApplicationEnvironment environment;
  environment.LogRoot = zv::FromUtf8(aDir.string() + static_cast<char>(fs::path::preferred_separator));
  environment.ExeBaseName = u"POS";
  environment.Arguments = std::move(aArguments);
  environment.ReadString = [](uint32_t aId) { return zv::platform::LoadResourceString(aId); };
  environment.ReadRawResource = [aResources](const zv::Text& aName) -> std::optional<std::string> {
    auto it = aResources.find(aName);
    if (it == aResources.end()) return std::nullopt;
    return it->second;
  };
  if (aClock != nullptr)
    environment.Clock = [aClock] { return *aClock; };
  else
    environment.Clock = [] { return zv::Now(); };
  return environment;
}

// Makes an application object the global one for the life of the scope.
class GlobalApplication {
 public:
  explicit GlobalApplication(zv::tZV_Application& aApplication) : fPrevious(zv::ApplicationObject) {
    zv::ApplicationObject = &aApplication;
  }
  ~GlobalApplication() { zv::ApplicationObject = fPrevious; }
  GlobalApplication(const GlobalApplication&) = delete;
  GlobalApplication& operator=(const GlobalApplication&) = delete;

 private:
  zv::tZV_Application* fPrevious;
};

}  // namespace zvtest
