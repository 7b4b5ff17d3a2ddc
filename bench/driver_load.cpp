// What a host pays for loading the driver: a fresh process that loads the driver and
// calls it once, against one that loads only the libraries of the payment path (HTTP,
// TLS, XML, the C++ runtime). Each iteration starts the small loader program anew;
// both sides pay the same for starting it. The last line gives the ratio of the two.
//
//   nice build/bench/bench_driver_load --benchmark_repetitions=15 --benchmark_report_aggregates_only=true
//
// ZV_LIBRARY names another build of the driver to load.

#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

extern char** environ;

namespace {

// The payment path's libraries, as the driver names them.
const std::vector<std::string> kPaymentLibraries = {"libcurl.so.4",    "libssl.so.3",   "libcrypto.so.3",
                                                    "libpugixml.so.1", "libstdc++.so.6", "libgcc_s.so.1"};

// Runs the loader with aArguments; its peak resident memory in KiB, or -1 when it failed.
long RunLoader(const std::vector<std::string>& aArguments) {
  std::vector<char*> argv;
  std::string program = ZV_LOADER_PATH;
  argv.push_back(program.data());
  std::vector<std::string> arguments = aArguments;
  for (std::string& a : arguments) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return usage.ru_maxrss;
}

void Load(benchmark::State& aState, const std::vector<std::string>& aArguments) {
  long peak = 0;
  for (auto _ : aState) {
    peak = RunLoader(aArguments);
    if (peak < 0) {
      aState.SkipWithError("the loader failed");
      return;
    }
  }
  aState.counters["peak_rss_MiB"] = static_cast<double>(peak) / 1024.0;
}

void BM_PaymentLibrariesAlone(benchmark::State& aState) { Load(aState, kPaymentLibraries); }

// The driver built beside the benchmark, or the one ZV_LIBRARY names.
void BM_Driver(benchmark::State& aState) {
  const char* chosen = std::getenv("ZV_LIBRARY");
  Load(aState, {"--call", chosen != nullptr ? chosen : ZV_DRIVER_PATH});
}

BENCHMARK(BM_PaymentLibrariesAlone)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Driver)->Unit(benchmark::kMillisecond)->UseRealTime();

// Keeps each benchmark's median (or only) real time, to give the ratio at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal.
  RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& aRuns) override {
    ConsoleReporter::ReportRuns(aRuns);
    for (const Run& run : aRuns) {
      if (run.error_occurred) continue;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (median || run.run_type == Run::RT_Iteration) fTimes[run.run_name.function_name] = run.GetAdjustedRealTime();
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    const auto driver = fTimes.find("BM_Driver");
    const auto alone = fTimes.find("BM_PaymentLibrariesAlone");
    if (driver != fTimes.end() && alone != fTimes.end() && alone->second > 0)
      std::printf("driver / payment libraries alone: %.2f (%.2f ms against %.2f ms)\n", driver->second / alone->second,
                  driver->second, alone->second);
  }

 private:
  std::map<std::string, double> fTimes;
};

}  // namespace

int main(int argc, char** argv) {
  // The driver's logs go to a folder of the benchmark's own.
  const std::filesystem::path logs = std::filesystem::temp_directory_path() / ("zv_bench_load_" + std::to_string(getpid()));
  setenv("ZV_LOG_DIR", logs.c_str(), 1);
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::error_code ignored;
  std::filesystem::remove_all(logs, ignored);
  return 0;
}
