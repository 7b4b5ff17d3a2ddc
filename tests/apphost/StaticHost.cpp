// A host that loads the library's core the way the shared object does (one
// kDriverLibrary) and reports what it sees on standard output, one "key=value" a line.
// Its own switches (/BATCH and the like) are read by the application object.
//
// Arguments besides the switches:
//   message=TEXT   DisplayMessage(0, TEXT) while loaded
//   at-exit        keep the library loaded until the process exits (static
//                  destruction), as a host that never unloads it

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "base/uZV_Base.h"
#include "driver/uZVDriverLibrary.h"

namespace {

void Report(const char* aKey, const std::string& aValue) { std::printf("%s=%s\n", aKey, aValue.c_str()); }

void Run(int argc, char** argv) {
  zv::tZV_Application* app = zv::ApplicationObject;
  Report("application", app != nullptr ? "yes" : "no");
  if (app == nullptr) return;
  Report("batch", app->IsBatch() ? "1" : "0");
  Report("logfile", zv::ToUtf8(app->GetLogFileName()));
  Report("version", zv::ToUtf8(app->Info().VersionString()));
  zv::kDriverLibrary& library = zv::DriverLibrary();
  Report("devices", std::to_string(library.Devices().Count()));
  Report("counter", std::to_string(library.Devices().HandleCounter()));
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], "message=", 8) == 0) zv::DisplayMessage(0, zv::FromUtf8(argv[i] + 8));
}

}  // namespace

int main(int argc, char** argv) {
  bool atExit = false;
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "at-exit") == 0) atExit = true;
  if (atExit) {
    // Destroyed by the exit sequence, as the shared object's instance is at exit.
    static zv::kDriverLibrary library;
    Run(argc, argv);
    std::fflush(stdout);
    return 0;
  }
  auto library = std::make_unique<zv::kDriverLibrary>();
  Run(argc, argv);
  library.reset();
  Report("unloaded", zv::ApplicationObject == nullptr ? "yes" : "no");
  return 0;
}
