// The log writer's cost on the caller's thread and its sustained rate to a file,
// beside a plain loop that opens, appends and closes the file for every line, and a
// bare loop of the system calls the writer makes for a line; WriterBesideTheBareLoop
// takes turns between the writer and the bare loop and prints their ratio.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "log/uZV_LogWriter.h"

namespace {

namespace fs = std::filesystem;

// A fresh directory under the system's temporary directory, removed afterwards.
class BenchDir {
 public:
  explicit BenchDir(const std::string& aName)
      : fPath(fs::temp_directory_path() / ("zvbench_" + aName + "_" + std::to_string(::getpid()))) {
    fs::remove_all(fPath);
    fs::create_directories(fPath);
  }
  ~BenchDir() {
    std::error_code ignored;
    fs::remove_all(fPath, ignored);
  }
  const fs::path& Path() const { return fPath; }

 private:
  fs::path fPath;
};

// A typical traffic line: a title, a colon and a small JSON body.
const zv::Text kMessage =
    u"Write [96]:{\"amount\":\"12.50\",\"currency\":\"EUR\",\"storeCode\":\"S001\",\"tillCode\":\"T07\",\"reference\":\"R-1\"}";
const std::string kMessageUtf8 = zv::ToUtf8(kMessage);

// What Write costs the caller: formatting and queueing only. The iterations are fixed
// so that the queue the thread drains at the end stays bounded.
void BM_WriteOnCallersThread(benchmark::State& state) {
  BenchDir dir("caller");
  zv::tZV_LogWriter writer(u"Bench", zv::FromUtf8(dir.Path().string()), 0, false);
  for (auto _ : state) writer.Write(zv::tZV_MessageType::let_info, kMessage);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WriteOnCallersThread)->Iterations(50000);

// Lines per second that reach the file: each iteration writes a batch and destroys
// the writer, which returns only when every line is in the file.
void BM_WriterSustainedToFile(benchmark::State& state) {
  BenchDir dir("sustained");
  const int lines = static_cast<int>(state.range(0));
  for (auto _ : state) {
    zv::tZV_LogWriter writer(u"Bench", zv::FromUtf8(dir.Path().string()), 0, false);
    for (int i = 0; i < lines; ++i) writer.Write(zv::tZV_MessageType::let_info, kMessage);
  }
  state.SetItemsProcessed(state.iterations() * lines);
}
BENCHMARK(BM_WriterSustainedToFile)->Arg(2000)->Unit(benchmark::kMillisecond)->UseRealTime();

// The baseline: the same per-line open, append and close with stdio.
void BM_PlainFopenFputsFclose(benchmark::State& state) {
  BenchDir dir("plain");
  const std::string file = (dir.Path() / "Plain.log").string();
  const std::string line = "2024-01-01 12:00:00:000 - " + kMessageUtf8 + "\r\n";
  const int lines = static_cast<int>(state.range(0));
  for (auto _ : state) {
    for (int i = 0; i < lines; ++i) {
      std::FILE* out = std::fopen(file.c_str(), "ab");
      if (out == nullptr) {
        state.SkipWithError("fopen failed");
        return;
      }
      std::fputs(line.c_str(), out);
      std::fclose(out);
    }
  }
  state.SetItemsProcessed(state.iterations() * lines);
}
BENCHMARK(BM_PlainFopenFputsFclose)->Arg(2000)->Unit(benchmark::kMillisecond)->UseRealTime();

// The floor for the writer: per line, the system calls it must make and nothing else,
// the size query, an open for appending, the lock that keeps other writers out, the
// write and the close. False when a step failed.
bool BareStatOpenLockAppendClose(const std::string& aFile, const std::string& aLine, int aLines) {
  for (int i = 0; i < aLines; ++i) {
    struct stat info;
    benchmark::DoNotOptimize(::stat(aFile.c_str(), &info));
    const int fd = ::open(aFile.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::write(fd, aLine.data(), aLine.size()) < 0) return false;
    ::close(fd);
  }
  return true;
}

void BM_BareStatOpenLockAppendClose(benchmark::State& state) {
  BenchDir dir("bare");
  const std::string file = (dir.Path() / "Bare.log").string();
  const std::string line = "2024-01-01 12:00:00:000 - " + kMessageUtf8 + "\r\n";
  const int lines = static_cast<int>(state.range(0));
  for (auto _ : state) {
    if (!BareStatOpenLockAppendClose(file, line, lines)) {
      state.SkipWithError("append failed");
      return;
    }
  }
  state.SetItemsProcessed(state.iterations() * lines);
}
BENCHMARK(BM_BareStatOpenLockAppendClose)->Arg(2000)->Unit(benchmark::kMillisecond)->UseRealTime();

// The writer's sustained rate beside the bare loop's, batch by batch in turns so that
// both see the same machine, and what the writer costs its caller. Reported: lines per
// second of each, their ratio (the writer's over the loop's; goal: at least 0.95) and
// the microseconds a line takes on the caller's thread.
void WriterBesideTheBareLoop(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  BenchDir writerDir("beside_writer"), bareDir("beside_bare");
  const std::string bareFile = (bareDir.Path() / "Bare.log").string();
  const std::string line = "2024-01-01 12:00:00:000 - " + kMessageUtf8 + "\r\n";
  const int lines = static_cast<int>(state.range(0));
  std::chrono::duration<double> writer{0}, caller{0}, bare{0};
  for (auto _ : state) {
    const auto start = Clock::now();
    {
      zv::tZV_LogWriter log(u"Bench", zv::FromUtf8(writerDir.Path().string()), 0, false);
      const auto queued = Clock::now();
      for (int i = 0; i < lines; ++i) log.Write(zv::tZV_MessageType::let_info, kMessage);
      caller += Clock::now() - queued;
    }
    writer += Clock::now() - start;
    const auto bareStart = Clock::now();
    if (!BareStatOpenLockAppendClose(bareFile, line, lines)) {
      state.SkipWithError("append failed");
      return;
    }
    bare += Clock::now() - bareStart;
  }
  const double total = static_cast<double>(state.iterations()) * lines;
  state.counters["writer_lines_s"] = total / writer.count();
  state.counters["bare_lines_s"] = total / bare.count();
  state.counters["ratio"] = bare.count() / writer.count();
  state.counters["caller_us"] = caller.count() / total * 1e6;
}
BENCHMARK(WriterBesideTheBareLoop)->Arg(2000)->Iterations(30)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
