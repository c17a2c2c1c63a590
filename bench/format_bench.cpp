// Throughput of the CRC-32 and of the delta decoder, each beside the peers it is
// judged against, measured in the same run. The ratios are printed at the end.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>

#include "builder/format/delta_writer.h"
#include "patch/crc32.h"
#include "patch/delta.h"

namespace {

constexpr size_t kCrcSize = 16 << 20;
constexpr size_t kDeltaSize = 32 << 20;

const Bytes& RandomData(size_t size, uint32_t seed) {
  static std::map<std::pair<size_t, uint32_t>, Bytes> cache;
  Bytes& bytes = cache[{size, seed}];
  if (bytes.empty()) {
    std::mt19937 random(seed);
    bytes.resize(size);
    for (size_t i = 0; i + 4 <= size; i += 4) {
      const uint32_t v = random();
      std::memcpy(&bytes[i], &v, 4);
    }
  }
  return bytes;
}

void BM_Crc32(benchmark::State& state) {
  const Bytes& data = RandomData(kCrcSize, 1);
  for (auto _ : state) benchmark::DoNotOptimize(Crc32(data.data(), uint32_t(data.size())));
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}

void BM_Crc32ByteLoop(benchmark::State& state) {
  const Bytes& data = RandomData(kCrcSize, 1);
  for (auto _ : state) benchmark::DoNotOptimize(Crc32ByteLoop(data.data(), uint32_t(data.size())));
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}

void BM_ZlibCrc32(benchmark::State& state) {
  const Bytes& data = RandomData(kCrcSize, 1);
  for (auto _ : state) benchmark::DoNotOptimize(crc32(0, data.data(), uInt(data.size())));
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}

// A delta like one between two builds of a program: long copy blocks with a
// changed byte or word every few hundred bytes, short literal runs between them.
struct DeltaCase {
  Bytes old, newFile, delta;
};

const DeltaCase& TypicalDelta() {
  static DeltaCase delta;
  if (!delta.delta.empty()) return delta;
  delta.old = RandomData(kDeltaSize, 2);
  std::mt19937 random(3);
  DeltaWriter writer(delta.old);
  size_t position = 0;
  while (delta.newFile.size() < kDeltaSize) {
    const Bytes literal = Bytes(RandomData(4096, 4).begin(), RandomData(4096, 4).begin() + 16 + random() % 240);
    writer.Literal(literal);
    delta.newFile.insert(delta.newFile.end(), literal.begin(), literal.end());
    const size_t length = std::min<size_t>(4096 + random() % (256 << 10), kDeltaSize - position);
    Bytes block(delta.old.begin() + position, delta.old.begin() + position + length);
    for (size_t at = random() % 400; at < block.size(); at += 1 + random() % 400) block[at] ^= 0x11;
    writer.Copy(uint32_t(position), block);
    delta.newFile.insert(delta.newFile.end(), block.begin(), block.end());
    position = (position + length + random() % 1024) % (kDeltaSize - (256 << 10));
  }
  delta.delta = writer.Finish();
  return delta;
}

void BM_ApplyDelta(benchmark::State& state) {
  const DeltaCase& delta = TypicalDelta();
  Bytes output(delta.newFile.size());
  for (auto _ : state) {
    MemoryOutput memory{output.data(), uint32_t(output.size()), 0};
    ApplyDelta(ToMemory(memory), ByteView{delta.delta.data(), uint32_t(delta.delta.size())},
               ByteView{delta.old.data(), uint32_t(delta.old.size())});
    benchmark::DoNotOptimize(output.data());
  }
  if (output != delta.newFile) state.SkipWithError("decoded file differs");
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(delta.newFile.size()));
}

void BM_MemcpyOfTheNewFile(benchmark::State& state) {
  const DeltaCase& delta = TypicalDelta();
  Bytes output(delta.newFile.size());
  for (auto _ : state) {
    std::memcpy(output.data(), delta.newFile.data(), output.size());
    benchmark::DoNotOptimize(output.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(delta.newFile.size()));
}

BENCHMARK(BM_Crc32)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Crc32ByteLoop)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibCrc32)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ApplyDelta)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemcpyOfTheNewFile)->Unit(benchmark::kMillisecond);

// Keeps each benchmark's throughput to print the ratios after the table.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> bytesPerSecond;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      auto counter = run.counters.find("bytes_per_second");
      if (counter != run.counters.end()) bytesPerSecond[run.benchmark_name()] = counter->second;
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto& r = reporter.bytesPerSecond;
  auto ratio = [&](const char* a, const char* b) {
    return r.count(a) && r.count(b) && r[b] > 0 ? r[a] / r[b] : 0.0;
  };
  std::printf("\nCrc32 / byte loop:        %.2fx (target: at least 4x)\n",
              ratio("BM_Crc32", "BM_Crc32ByteLoop"));
  std::printf("Crc32 / zlib crc32:       %.2fx (zlib's reflected CRC, for reference)\n",
              ratio("BM_Crc32", "BM_ZlibCrc32"));
  std::printf("memcpy / ApplyDelta:      %.2fx slower than memcpy (aim: within 3x)\n",
              ratio("BM_MemcpyOfTheNewFile", "BM_ApplyDelta"));
  const DeltaCase& delta = TypicalDelta();
  std::printf("delta: %zu bytes for a new file of %zu bytes\n", delta.delta.size(), delta.newFile.size());
  benchmark::Shutdown();
  return 0;
}
