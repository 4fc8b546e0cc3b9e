// Edit distance against the plain two-row dynamic programme, on similar pairs (about 10% of the
// characters edited) of 100, 1,000 and 10,000 characters, ASCII and non-ASCII, plus the bounded
// form at a bound of 20% of the length, on similar and on unrelated pairs, and on the short line
// pairs of the streaming matcher.
// After the runs a table gives each fast figure beside the plain one with the speed-up.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include "content_replacer/levenshtein.h"
#include "support/reference_levenshtein.h"
#include "text/utf8.h"

namespace {

using marlune::content_replacer::levenshtein_distance;
using marlune::content_replacer::levenshtein_distance_bounded;
using marlune::test_support::reference_levenshtein;

struct Pair {
  std::string a, b;
  std::size_t chars;
};

enum class Alphabet { kAscii, kUnicode, kCjk };

// A code-like text of `chars` characters and a copy with about a tenth of them edited. kUnicode
// mixes a quarter of 2- to 4-byte characters into the ASCII; kCjk draws from 3,000 distinct
// ideographs, so long patterns take the sparse match table.
Pair make_pair(std::size_t chars, Alphabet alphabet, std::uint32_t seed) {
  static const std::vector<std::string> ascii_pool = {"a", "b", "c", "d", "e", "f", "i",  "n", "o",
                                                      "r", "s", "t", "x", " ", " ", " ",  "(", ")",
                                                      "{", "}", ";", "=", "_", ".", "\n", "0", "1"};
  static const std::vector<std::string> extra_pool = {"\xC3\xA9", "\xC3\xBC", "\xE4\xB8\xAD",
                                                      "\xE6\x96\x87", "\xF0\x9F\x98\x80"};
  std::mt19937 rng(seed);
  auto pick = [&] {
    if (alphabet == Alphabet::kCjk) {
      std::string c;
      marlune::text::append_utf8(c, static_cast<char32_t>(0x4E00 + rng() % 3000));
      return c;
    }
    if (alphabet == Alphabet::kUnicode && rng() % 4 == 0) {
      return extra_pool[rng() % extra_pool.size()];
    }
    return ascii_pool[rng() % ascii_pool.size()];
  };
  std::vector<std::string> a(chars);
  for (auto& c : a) c = pick();
  std::vector<std::string> b = a;
  for (std::size_t edits = chars / 10; edits > 0; --edits) {
    const std::size_t at = rng() % b.size();
    switch (rng() % 3) {
      case 0:
        b[at] = pick();
        break;
      case 1:
        b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), pick());
        break;
      default:
        b.erase(b.begin() + static_cast<std::ptrdiff_t>(at));
        break;
    }
  }
  Pair pair{{}, {}, chars};
  for (const auto& c : a) pair.a += c;
  for (const auto& c : b) pair.b += c;
  return pair;
}

void register_all() {
  const std::pair<Alphabet, const char*> alphabets[] = {
      {Alphabet::kAscii, "ascii/"}, {Alphabet::kUnicode, "unicode/"}, {Alphabet::kCjk, "cjk/"}};
  for (const auto& [alphabet, prefix] : alphabets) {
    for (const std::size_t chars : {std::size_t{100}, std::size_t{1000}, std::size_t{10000}}) {
      const std::string label = prefix + std::to_string(chars);
      const Pair pair = make_pair(chars, alphabet, static_cast<std::uint32_t>(chars));
      benchmark::RegisterBenchmark(("plain/" + label).c_str(), [pair](benchmark::State& state) {
        for (auto _ : state) benchmark::DoNotOptimize(reference_levenshtein(pair.a, pair.b));
      });
      benchmark::RegisterBenchmark(
          ("bitparallel/" + label).c_str(), [pair](benchmark::State& state) {
            for (auto _ : state) benchmark::DoNotOptimize(levenshtein_distance(pair.a, pair.b));
          });
      benchmark::RegisterBenchmark(("bounded20/" + label).c_str(), [pair](benchmark::State& state) {
        const std::size_t bound = pair.chars / 5;
        for (auto _ : state)
          benchmark::DoNotOptimize(levenshtein_distance_bounded(pair.a, pair.b, bound));
      });
      // An unrelated pair of the same length: the bounded form gives up early.
      const Pair other = make_pair(chars, alphabet, static_cast<std::uint32_t>(chars) + 1);
      benchmark::RegisterBenchmark(
          ("bounded20_unrelated/" + label).c_str(),
          [a = pair.a, b = other.a, chars](benchmark::State& state) {
            for (auto _ : state)
              benchmark::DoNotOptimize(levenshtein_distance_bounded(a, b, chars / 5));
          });
    }
  }
  // Trimmed source lines as the streaming matcher compares them: about 40 bytes, bound 20%.
  std::vector<Pair> lines;
  for (std::uint32_t i = 0; i < 64; ++i)
    lines.push_back(make_pair(30 + i % 30, Alphabet::kAscii, 1000 + i));
  benchmark::RegisterBenchmark("bounded20/ascii_lines_x64", [lines](benchmark::State& state) {
    for (auto _ : state) {
      for (const auto& p : lines) {
        benchmark::DoNotOptimize(
            levenshtein_distance_bounded(p.a, p.b, std::max(p.a.size(), p.b.size()) / 5));
      }
    }
  });
  benchmark::RegisterBenchmark("plain/ascii_lines_x64", [lines](benchmark::State& state) {
    for (auto _ : state) {
      for (const auto& p : lines) benchmark::DoNotOptimize(reference_levenshtein(p.a, p.b));
    }
  });
}

// Console output as usual, then each fast figure beside the plain one of the same input.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal: a reporter of our own does not see --benchmark_color.
  RatioReporter() : ConsoleReporter(isatty(fileno(stdout)) ? OO_Defaults : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration) {
        ns_[run.benchmark_name()] = run.GetAdjustedCPUTime();  // default unit: ns
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-40s %14s %14s %10s\n", "case", "ns/pair", "plain ns/pair", "speed-up");
    for (const auto& [name, ns] : ns_) {
      const auto slash = name.find('/');
      const std::string kind = name.substr(0, slash);
      if (kind == "plain") continue;
      const std::string input = name.substr(slash + 1);
      const auto plain = ns_.find("plain/" + input);
      if (plain == ns_.end()) continue;
      std::printf("%-40s %14.0f %14.0f %9.1fx\n", name.c_str(), ns, plain->second,
                  plain->second / ns);
    }
  }

 private:
  std::map<std::string, double> ns_;
};

}  // namespace

int main(int argc, char** argv) {
  register_all();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
