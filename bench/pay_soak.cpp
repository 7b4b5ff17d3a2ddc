// Soak run: many PAYs (payments, and refunds of them) through the exported functions of
// the built library against lorvani-sim over HTTPS, on one device. Reports the
// throughput, the process's resident memory and open file descriptors after a warm-up
// and at the end, and the device log's size and rotation. Fails (exit 1) when a PAY
// fails, when resident memory grows by 1 MB or more after the warm-up, or when
// descriptors are left open.
//
//   ninja -C build bench_pay_soak && nice build/bench/bench_pay_soak [--count=100000] [--warmup=2000]
//
// The device log goes to $ZV_LOG_DIR when set, else to a temporary folder removed at
// the end.

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "HostLibrary.h"
#include "LorvaniSim.h"

namespace {

const std::string kBearer = "soak-token";

std::u16string U16(const std::string& aText) { return std::u16string(aText.begin(), aText.end()); }

std::string Element(const std::u16string& aResponse, const std::string& aName) {
  std::string text;
  for (char16_t c : aResponse) text += c < 0x80 ? static_cast<char>(c) : '?';
  const std::string open = "<" + aName + ">", close = "</" + aName + ">";
  const size_t start = text.find(open);
  if (start == std::string::npos) return {};
  return text.substr(start + open.size(), text.find(close, start) - start - open.size());
}

long ResidentKiloBytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

int OpenDescriptorsNow() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (dirent* entry = readdir(dir))
      if (entry->d_name[0] != '.') ++count;
    closedir(dir);
  }
  return count - 1;  // the listing's own
}

// The log thread opens its file for each line: the fewest seen over a short while.
int OpenDescriptors() {
  int fewest = OpenDescriptorsNow();
  for (int i = 0; i < 20; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    fewest = std::min(fewest, OpenDescriptorsNow());
  }
  return fewest;
}

long Option(int argc, char** argv, const char* aName, long aDefault) {
  const std::string prefix = std::string("--") + aName + "=";
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], prefix.c_str(), prefix.size()) == 0) return std::strtol(argv[i] + prefix.size(), nullptr, 10);
  return aDefault;
}

}  // namespace

int main(int argc, char** argv) {
  const long count = Option(argc, argv, "count", 100000);
  const long warmup = Option(argc, argv, "warmup", 2000);
  std::string logRoot;
  bool ownLogRoot = false;
  if (const char* given = std::getenv("ZV_LOG_DIR"); given != nullptr && *given != '\0') {
    logRoot = given;
  } else {
    char folder[] = "/tmp/zv-soak-XXXXXX";
    if (mkdtemp(folder) == nullptr) return 2;
    logRoot = folder;
    ownLogRoot = true;
    setenv("ZV_LOG_DIR", folder, 1);
  }

  zvtest::LorvaniSim sim({"--token", kBearer});
  long failures = 0;
  std::string logFile;
  {
    zvtest::HostLibrary library;
    const auto open = library.Call(
        "OPEN", U16("<Request><Driver>ZVPA_LORVANI_10</Driver><LogId>soak</LogId><Connection><Type>HTTP</Type><URL>" +
                    sim.BaseUrl() + "</URL></Connection><Parameters><Bearer>" + kBearer + "</Bearer><TlsCaFile>" +
                    sim.CaFile() + "</TlsCaFile></Parameters></Request>"));
    const std::string handle = Element(open.response, "Handle");
    if (open.result != 0) {
      std::fprintf(stderr, "OPEN failed\n");
      return 2;
    }
    // Two payments, then a refund of part of the second: a third of the PAYs are refunds.
    std::string order;
    auto pay = [&](long aNumber) {
      const bool refund = aNumber % 3 == 2;
      const std::string request =
          "<Request><Handle>" + handle + "</Handle><Payment><Action>" + (refund ? "REFUND" : "PAY") +
          "</Action><Amount>" + (refund ? "4.50" : "12.50") +
          "</Amount><Currency>EUR</Currency><Attributes>PRE-" + std::to_string(aNumber) +
          "</Attributes><StoreCode>S1</StoreCode><TillCode>T" + std::to_string(aNumber) +
          "</TillCode><OperatorId>op</OperatorId><Reference>soak</Reference>" +
          (refund ? "<RefundReference><PaymentId>" + order + "</PaymentId></RefundReference>" : "") +
          "</Payment></Request>";
      const auto answer = library.Call("PAY", U16(request));
      if (answer.result != 0) {
        if (++failures <= 5) std::fprintf(stderr, "PAY %ld failed: %s\n", aNumber, Element(answer.response, "ErrorText").c_str());
        return;
      }
      if (!refund) order = Element(answer.response, "RefundReference");
      if (logFile.empty()) logFile = Element(answer.response, "LogFileName");
      // The simulator keeps the requests it received for the tests: not for a soak run.
      if (aNumber % 1000 == 999) sim.ClearRequests();
    };

    for (long i = 0; i < warmup; ++i) pay(i);
    const long rssBefore = ResidentKiloBytes();
    const int fdsBefore = OpenDescriptors();
    const auto start = std::chrono::steady_clock::now();
    const std::clock_t cpuStart = std::clock();
    for (long i = warmup; i < warmup + count; ++i) pay(i);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    const long rssAfter = ResidentKiloBytes();
    const int fdsAfter = OpenDescriptors();
    library.Call("CLOSE", U16("<Request><Handle>" + handle + "</Handle></Request>"));

    std::printf("PAYs after warm-up:      %ld (%ld of them refunds), after %ld warm-up PAYs\n", count,
                count / 3 + (count % 3 == 2 ? 1 : 0), warmup);
    std::printf("failed PAYs:             %ld\n", failures);
    std::printf("time:                    %.1f s (%.1f PAY/s, %.2f ms each; process CPU %.1f s)\n", seconds,
                count / seconds, 1000.0 * seconds / count, cpu);
    std::printf("resident memory:         %ld kB -> %ld kB (%+ld kB)\n", rssBefore, rssAfter, rssAfter - rssBefore);
    std::printf("open descriptors:        %d -> %d\n", fdsBefore, fdsAfter);

    // The device log and the files it was rotated into.
    namespace fs = std::filesystem;
    const fs::path current(logFile);
    uintmax_t rotatedBytes = 0;
    int rotated = 0;
    const std::string stem = current.stem().string();
    for (const auto& entry : fs::directory_iterator(current.parent_path())) {
      const std::string name = entry.path().filename().string();
      if (entry.path() != current && name.rfind(stem + "_", 0) == 0) {
        ++rotated;
        rotatedBytes += entry.file_size();
      }
    }
    std::printf("device log:              %s, %ju bytes now\n", logFile.c_str(),
                static_cast<uintmax_t>(fs::exists(current) ? fs::file_size(current) : 0));
    std::printf("rotated device logs:     %d files, %ju bytes\n", rotated, rotatedBytes);

    const bool flat = rssAfter - rssBefore < 1024 && fdsAfter <= fdsBefore && failures == 0;
    std::printf("%s\n", flat ? "flat: memory growth under 1 MB, no descriptor growth, no failure" : "NOT FLAT");
    if (ownLogRoot) std::filesystem::remove_all(logRoot);
    return flat ? 0 : 1;
  }
}
