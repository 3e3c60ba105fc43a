// Micro-benchmarks of the pure routines against their C and C++ library peers.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "excerpt.hpp"
#include "text.hpp"

namespace {

// A zero-terminated text of the given length in a word-aligned buffer.
std::vector<std::uint32_t> Text(std::size_t length) {
  std::vector<std::uint32_t> words(length / 4 + 2, 0x61616161u);
  reinterpret_cast<char*>(words.data())[length] = 0;
  return words;
}

template <std::uint32_t (*Length)(const char*)>
void Own(benchmark::State& state) {
  const auto words = Text(state.range(0));
  const char* text = reinterpret_cast<const char*>(words.data());
  for (auto _ : state) benchmark::DoNotOptimize(Length(text));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void Strlen(benchmark::State& state) {
  const auto words = Text(state.range(0));
  const char* text = reinterpret_cast<const char*>(words.data());
  for (auto _ : state) {
    benchmark::DoNotOptimize(text);
    benchmark::DoNotOptimize(std::strlen(text));
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

BENCHMARK(Own<timer::MeasureText>)->Name("MeasureText")->Arg(32)->Arg(31999);
BENCHMARK(Own<timer::WordwiseLength>)->Name("WordwiseLength")->Arg(32)->Arg(31999);
BENCHMARK(Strlen)->Name("strlen")->Arg(32)->Arg(31999);

// The tests' big sample listing, as much of it as the program reads: its summary line comes
// after that, so the search runs through the whole buffer and fails.
std::string Listing() {
  std::ifstream file(LISTINGS_DIR "/big.txt", std::ios::binary);
  std::string listing(std::istreambuf_iterator<char>(file), {});
  return listing.substr(0, timer::kListingReadLimit);
}

constexpr char kSummary[] = "\r\n        ";

void FindText(benchmark::State& state) {
  const std::string listing = Listing();
  for (auto _ : state) benchmark::DoNotOptimize(timer::FindText(1, listing.c_str(), kSummary));
  state.SetBytesProcessed(state.iterations() * listing.size());
}

void Memmem(benchmark::State& state) {
  const std::string listing = Listing();
  for (auto _ : state) {
    benchmark::DoNotOptimize(memmem(listing.data(), listing.size(), kSummary, sizeof kSummary - 1));
  }
  state.SetBytesProcessed(state.iterations() * listing.size());
}

void StdSearch(benchmark::State& state) {
  const std::string listing = Listing();
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        std::search(listing.begin(), listing.end(), kSummary, kSummary + sizeof kSummary - 1));
  }
  state.SetBytesProcessed(state.iterations() * listing.size());
}

BENCHMARK(FindText)->Name("FindText");
BENCHMARK(Memmem)->Name("memmem");
BENCHMARK(StdSearch)->Name("std::search");

const std::int32_t kValues[] = {0, 7, -1, 345, 1000, -98765, 2147483647, -2147483647 - 1};

void Decimal(benchmark::State& state) {
  char text[timer::kDecimalMax];
  for (auto _ : state) {
    for (std::int32_t value : kValues) {
      timer::SignedToDecimal(value, text);
      benchmark::DoNotOptimize(text);
    }
  }
}

void ToChars(benchmark::State& state) {
  char text[timer::kDecimalMax];
  for (auto _ : state) {
    for (std::int32_t value : kValues) {
      *std::to_chars(text, text + sizeof text - 1, value).ptr = 0;
      benchmark::DoNotOptimize(text);
    }
  }
}

BENCHMARK(Decimal)->Name("SignedToDecimal");
BENCHMARK(ToChars)->Name("std::to_chars");

}  // namespace

BENCHMARK_MAIN();
