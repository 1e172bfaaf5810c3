// Throughput of the quoted-printable encoder, single core.
//
// BM_EncodeStep is the whole encode step as the run driver runs it for
// -mime: qp_encoded_length to size the message text, then qp_encode_buffer
// into it. The other cases take the step apart.
//
// Inputs: the files named by QP_BENCH_TEXT and QP_BENCH_BINARY when set
// (bench/run.sh hands over the very files it mails), otherwise 8 MiB made
// here from a fixed seed: text of LF-ended lines of words, some starting with
// ".", and random bytes.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench_input.h"
#include "message/quoted_printable.h"

namespace {

// Large enough to leave the caches, small enough for a quick start.
constexpr std::size_t kMadeInputBytes = 8u << 20;
constexpr unsigned kSeed = 20240521;

std::vector<char> make_text() {
  std::mt19937 rng(kSeed);
  std::vector<std::string> words;
  for (int i = 0; i < 2000; ++i) {
    std::string word;
    const int length = 1 + static_cast<int>(rng() % 10);
    for (int k = 0; k < length; ++k) word += static_cast<char>('a' + rng() % 26);
    words.push_back(word);
  }
  std::vector<char> text;
  while (text.size() < kMadeInputBytes) {
    if (rng() % 20 == 0) text.push_back('.');
    const int count = 1 + static_cast<int>(rng() % 14);
    for (int k = 0; k < count; ++k) {
      if (k > 0) text.push_back(' ');
      const std::string& word = words[rng() % words.size()];
      text.insert(text.end(), word.begin(), word.end());
    }
    text.push_back('\n');
  }
  return text;
}

std::vector<char> make_binary() {
  std::mt19937 rng(kSeed + 1);
  std::vector<char> data(kMadeInputBytes);
  for (char& byte : data) byte = static_cast<char>(rng() & 0xFF);
  return data;
}

const std::vector<char>& input(bool binary) {
  static const std::vector<char> text = [] {
    const char* name = std::getenv("QP_BENCH_TEXT");
    return name ? read_file(name) : make_text();
  }();
  static const std::vector<char> bytes = [] {
    const char* name = std::getenv("QP_BENCH_BINARY");
    return name ? read_file(name) : make_binary();
  }();
  return binary ? bytes : text;
}

// The output buffer is sized and touched once, outside the timing, so that
// page faults of a fresh allocation do not count as encoding.
std::vector<char> output_for(const std::vector<char>& body) {
  return std::vector<char>(qp_encoded_length(body.data(), body.size()) + 1, 'x');
}

void finish(benchmark::State& state, const std::vector<char>& body) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(body.size()));
  state.counters["input_MiB"] = static_cast<double>(body.size()) / (1 << 20);
}

void BM_EncodeStep(benchmark::State& state) {
  const std::vector<char>& body = input(state.range(0) != 0);
  std::vector<char> out = output_for(body);
  for (auto _ : state) {
    const std::uint64_t length = qp_encoded_length(body.data(), body.size());
    int line_length = 0;
    const std::uint64_t written =
        qp_encode_buffer(body.data(), body.size(), &line_length, out.data());
    if (written != length) state.SkipWithError("qp_encode_buffer disagrees with qp_encoded_length");
    benchmark::DoNotOptimize(out.data());
  }
  finish(state, body);
}

void BM_EncodedLength(benchmark::State& state) {
  const std::vector<char>& body = input(state.range(0) != 0);
  for (auto _ : state) benchmark::DoNotOptimize(qp_encoded_length(body.data(), body.size()));
  finish(state, body);
}

void BM_EncodeBuffer(benchmark::State& state) {
  const std::vector<char>& body = input(state.range(0) != 0);
  std::vector<char> out = output_for(body);
  for (auto _ : state) {
    int line_length = 0;
    benchmark::DoNotOptimize(qp_encode_buffer(body.data(), body.size(), &line_length, out.data()));
  }
  finish(state, body);
}

// Argument 0: text; 1: binary.
BENCHMARK(BM_EncodeStep)->ArgName("binary")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodedLength)->ArgName("binary")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeBuffer)->ArgName("binary")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
