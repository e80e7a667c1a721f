// Micro-benchmarks of the reader on the benchmark inputs: single sector
// lookups at both ends of a track, PROG's run of 15 sectors, and indexing
// the 64-image file. The inputs are written to the system's temporary
// directory first and removed at the end.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "bench/bench_images.h"
#include "d88/d88_image.h"
#include "game/game_layout.h"

namespace d88test {

using d88::D88Image;
using game::kGameFirstSector;
using game::kGameLastSector;
using game::kGameSectorSize;
using game::kGameSizeCode;
using game::kProgSector;
using game::kProgSize;
namespace {

std::string g_full_path;
std::string g_many_path;

// A track in the middle of the file data: cylinder 35, head 0.
constexpr int32_t kTrack = 70;

void OpenFull(D88Image& image, benchmark::State& state) {
  if (!image.Open(g_full_path.c_str()) || !image.SelectImage(0)) {
    state.SkipWithError("cannot open full.d88");
  }
  image.SetSectorRange(kGameFirstSector, kGameLastSector);
}

void ReadOneSector(benchmark::State& state, int32_t r) {
  D88Image image;
  OpenFull(image, state);
  uint8_t buf[kGameSectorSize];
  for (auto _ : state) {
    const int32_t got = image.ReadSector(kTrack, kTrack / 2, kTrack % 2, r,
                                         kGameSizeCode, buf, kGameSectorSize);
    if (got != kGameSectorSize) state.SkipWithError("short sector");
    benchmark::DoNotOptimize(buf);
  }
  state.SetBytesProcessed(state.iterations() * kGameSectorSize);
}

void BM_ReadSectorFirstRecord(benchmark::State& state) {
  ReadOneSector(state, kGameFirstSector);
}
BENCHMARK(BM_ReadSectorFirstRecord);

void BM_ReadSectorEighthRecord(benchmark::State& state) {
  ReadOneSector(state, kGameLastSector);
}
BENCHMARK(BM_ReadSectorEighthRecord);

void BM_ReadSectorsProg(benchmark::State& state) {
  D88Image image;
  OpenFull(image, state);
  static uint8_t buf[kProgSize];
  for (auto _ : state) {
    const int32_t got =
        image.ReadSectors(kProgSector.track, kProgSector.id, buf, kProgSize);
    if (got != kProgSize) state.SkipWithError("short PROG");
    benchmark::DoNotOptimize(buf);
  }
  state.SetBytesProcessed(state.iterations() * kProgSize);
}
BENCHMARK(BM_ReadSectorsProg);

void BM_OpenManyImages(benchmark::State& state) {
  D88Image image;
  for (auto _ : state) {
    if (!image.Open(g_many_path.c_str()) ||
        image.GetImageCount() != kManyImageCount) {
      state.SkipWithError("cannot index many.d88");
    }
  }
}
BENCHMARK(BM_OpenManyImages);

}  // namespace
}  // namespace d88test

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  // A new directory of our own for the inputs.
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path tmp = fs::temp_directory_path(ec);
  fs::path dir;
  for (int attempt = 0; attempt < 100 && dir.empty(); ++attempt) {
    const fs::path candidate =
        tmp /
        ("d88_bench." +
         std::to_string(
             std::chrono::steady_clock::now().time_since_epoch().count()) +
         "." + std::to_string(attempt));
    if (fs::create_directory(candidate, ec)) dir = candidate;
  }
  std::string failed;
  if (dir.empty() || !d88test::WriteBenchImages(dir.string(), &failed)) {
    std::fprintf(stderr, "cannot write the inputs in %s\n",
                 dir.empty() ? tmp.string().c_str() : failed.c_str());
    if (!dir.empty()) fs::remove_all(dir, ec);
    return 1;
  }
  d88test::g_full_path = (dir / "full.d88").string();
  d88test::g_many_path = (dir / "many.d88").string();

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  fs::remove_all(dir, ec);
  return 0;
}
