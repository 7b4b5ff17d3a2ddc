// The memory a PNG picture costs to read: each iteration reads the file in a child
// process and takes the child's peak resident memory less that of a child that reads
// nothing. A picture of 8192 x 8192 pixels needs its 256 MiB once; a small file that
// only announces that size must not cost it.
//
//   nice build/bench/bench_png_peak

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/ImageFile.h"

namespace {

void PutBig32(std::string& aOut, uint32_t aValue) {
  for (int shift = 24; shift >= 0; shift -= 8) aOut += static_cast<char>((aValue >> shift) & 0xFF);
}

void PutChunk(std::string& aOut, const char* aType, const std::string& aData) {
  PutBig32(aOut, static_cast<uint32_t>(aData.size()));
  const std::string body = aType + aData;
  aOut += body;
  PutBig32(aOut, static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(body.data()), body.size())));
}

// An 8-bit RGBA PNG file whose IDAT chunk holds aData.
std::string PngFile(uint32_t aSide, const std::string& aData) {
  std::string header;
  PutBig32(header, aSide);
  PutBig32(header, aSide);
  header += std::string{'\x08', '\x06', '\0', '\0', '\0'};
  std::string file("\x89PNG\r\n\x1a\n", 8);
  PutChunk(file, "IHDR", header);
  PutChunk(file, "IDAT", aData);
  PutChunk(file, "IEND", "");
  return file;
}

// A valid picture: transparent black rows, compressed.
std::string ValidPng(uint32_t aSide) {
  const std::string rows(size_t{aSide} * (1 + size_t{aSide} * 4), '\0');
  std::string data(compressBound(rows.size()), '\0');
  uLongf size = data.size();
  compress2(reinterpret_cast<Bytef*>(data.data()), &size, reinterpret_cast<const Bytef*>(rows.data()), rows.size(), 9);
  data.resize(size);
  return PngFile(aSide, data);
}

// The child's peak resident memory in KiB after reading aFile (or nothing).
long ChildPeak(const std::string* aFile) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (aFile != nullptr) {
      const zv::platform::ImageLoadResult result = zv::platform::DecodeImage(*aFile);
      benchmark::DoNotOptimize(result);
    }
    _exit(0);
  }
  int status = 0;
  rusage usage{};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return -1;
  return usage.ru_maxrss;
}

void Peak(benchmark::State& aState, const std::string& aFile) {
  // The printing module is loaded once here, so that the children share it.
  benchmark::DoNotOptimize(zv::platform::DecodeImage(ValidPng(1)));
  double peak = 0;
  for (auto _ : aState) peak = static_cast<double>(ChildPeak(&aFile) - ChildPeak(nullptr));
  aState.counters["peak_MiB"] = peak / 1024.0;
  aState.counters["file_bytes"] = static_cast<double>(aFile.size());
}

void BM_AnnouncedOnly(benchmark::State& aState) {
  // 8192 x 8192 announced by 68 bytes: one empty stored block.
  Peak(aState, PngFile(8192, std::string("\x78\x01\x01\x00\x00\xFF\xFF\x00\x00\x00\x01", 11)));
}

void BM_Valid(benchmark::State& aState) { Peak(aState, ValidPng(8192)); }

BENCHMARK(BM_AnnouncedOnly)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Valid)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  // The printing module this build made, unless another is named.
  setenv("ZV_PRINT_MODULE", ZV_PRINT_MODULE_PATH, 0);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
