// The README's kind of session, start-up included: one zvpa-ecr process running a
// script of OPEN, 200 PAYs and CLOSE against lorvani-sim, beside one curl process
// sending the same 200 POSTs (curl -K, a fresh connection each) in the same run. The
// device log already holds 2 MB of the day's earlier lines, as a till's log does by
// the afternoon: the session must not slow down as the log grows. Reported: the wall
// time of each process and their ratio (goal: at most 1.1).
//
//   ninja -C build bench_ecr_session && build/bench/bench_ecr_session

#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include "LorvaniSim.h"

namespace {

constexpr int kPayments = 200;
const std::string kBearer = "bench-token";

zvtest::LorvaniSim& Sim() {
  static zvtest::LorvaniSim sim({"--token", kBearer, "--quiet"});
  return sim;
}

std::string Folder() {
  static const std::string folder = [] {
    const std::string path = std::filesystem::temp_directory_path().string() + "/bench-ecr-" + std::to_string(getpid());
    std::filesystem::create_directories(path + "/LogFiles/Payment");
    return path;
  }();
  return folder;
}

// The script zvpa-ecr runs and the config curl reads, written once.
void WriteInputs() {
  std::ofstream script(Folder() + "/session.txt");
  script << "OPEN --url " << Sim().BaseUrl() << " --bearer " << kBearer << " --ca-file " << Sim().CaFile()
         << " --log-id bench\n";
  for (int i = 0; i < kPayments; ++i)
    script << "PAY --handle last --amount 12.50 --currency EUR --code PRE-" << i
           << " --store S1 --till T2 --operator op\n";
  script << "CLOSE --handle last\n";

  std::ofstream config(Folder() + "/curl.conf");
  for (int i = 0; i < kPayments; ++i) {
    if (i > 0) config << "next\n";
    config << "url = \"" << Sim().BaseUrl() << "orders\"\n"
           << "cacert = \"" << Sim().CaFile() << "\"\n"
           << "header = \"Authorization: Bearer " << kBearer << "\"\n"
           << "header = \"Content-Type: application/json\"\n"
           << "header = \"Connection: close\"\n"  // a fresh connection for each POST
           << "silent\noutput = \"/dev/null\"\n"
           << "data = \"{\\\"totalAmount\\\":{\\\"amount\\\":\\\"12.5\\\",\\\"currency\\\":\\\"EUR\\\"},"
              "\\\"preApprovalCode\\\":\\\"PRE-" << i << "\\\",\\\"requestId\\\":\\\"C-" << std::rand() << "-" << i
           << "\\\",\\\"merchantOperatorId\\\":\\\"op\\\",\\\"merchantReference\\\":\\\"\\\"}\"\n";
  }
}

// 2 MB of earlier lines in today's device log of the session.
void GrowTheLog() {
  const std::time_t now = std::time(nullptr);
  char day[16];
  std::strftime(day, sizeof day, "%Y%m%d", std::localtime(&now));
  const std::string log = Folder() + "/LogFiles/Payment/ZVPA_LORVANI_10_bench_" + day + ".log";
  if (std::filesystem::exists(log) && std::filesystem::file_size(log) >= 2u << 20) return;
  std::ofstream out(log, std::ios::app | std::ios::binary);
  const std::string line = "2000-01-01 00:00:00:000 - " + std::string(100, 'x') + "\r\n";
  for (size_t written = 0; written < (2u << 20); written += line.size()) out << line;
}

// Runs a shell command; its wall time in seconds, or a negative value when it failed.
double Timed(const std::string& aCommand) {
  const auto start = std::chrono::steady_clock::now();
  const int status = std::system(aCommand.c_str());
  const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
  return status == 0 ? spent.count() : -1;
}

void EcrSessionBesideCurl(benchmark::State& state) {
  WriteInputs();
  double ecrTotal = 0, curlTotal = 0;
  for (auto _ : state) {
    GrowTheLog();
    const double curl = Timed("curl -K " + Folder() + "/curl.conf");
    const double ecr = Timed("ZV_LOG_DIR=" + Folder() + " " ZV_ECR_PATH " --script " + Folder() +
                             "/session.txt > /dev/null");
    if (curl < 0 || ecr < 0) {
      state.SkipWithError("curl or zvpa-ecr failed");
      break;
    }
    state.SetIterationTime(ecr);
    ecrTotal += ecr;
    curlTotal += curl;
    Sim().ClearRequests();
  }
  const double runs = static_cast<double>(state.iterations());
  state.counters["ecr_s"] = ecrTotal / runs;
  state.counters["curl_s"] = curlTotal / runs;
  state.counters["ratio"] = ecrTotal / curlTotal;
  std::error_code error;
  std::filesystem::remove_all(Folder(), error);
}
BENCHMARK(EcrSessionBesideCurl)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
