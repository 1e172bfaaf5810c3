// Throughput of the base64 encoder, single core, as the run driver uses it
// for an attachment: 256 KiB blocks encoded one after the other into the
// message text.
//
// Input: the file named by BASE64_BENCH_INPUT when set (bench/run.sh hands
// over the attachment it mails), otherwise 64 MiB of random bytes made here
// from a fixed seed.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "bench_input.h"
#include "message/base64.h"

namespace {

constexpr std::size_t kMadeInputBytes = 64u << 20;
constexpr std::size_t kBlockBytes = 256 * 1024;  // the run driver's read block
constexpr unsigned kSeed = 20240521;

const std::vector<char>& input() {
  static const std::vector<char> bytes = [] {
    if (const char* name = std::getenv("BASE64_BENCH_INPUT")) return read_file(name);
    std::mt19937 rng(kSeed);
    std::vector<char> data(kMadeInputBytes);
    for (char& byte : data) byte = static_cast<char>(rng() & 0xFF);
    return data;
  }();
  return bytes;
}

void BM_Base64Blocks(benchmark::State& state) {
  const std::vector<char>& data = input();
  // Sized and touched once, outside the timing: page faults are not encoding.
  std::vector<char> out(base64_encoded_length(data.size()) + 1, 'x');
  for (auto _ : state) {
    Base64Stream stream;
    std::size_t written = 0;
    for (std::size_t at = 0; at < data.size(); at += kBlockBytes) {
      const std::size_t count = std::min(kBlockBytes, data.size() - at);
      written += base64_encode_more(&stream, data.data() + at, count, out.data() + written);
    }
    written += base64_encode_end(&stream, out.data() + written);
    if (written != base64_encoded_length(data.size())) state.SkipWithError("length disagrees");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(data.size()));
  state.counters["input_MiB"] = static_cast<double>(data.size()) / (1 << 20);
}

BENCHMARK(BM_Base64Blocks)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
