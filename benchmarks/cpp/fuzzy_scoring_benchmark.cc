// Scoring one string, and ranking many path-like candidates. items_per_second is candidates
// (or calls) per second. Each ranking benchmark has a "ScoreEach" peer that scores every
// candidate with fuzzy_match and sorts, i.e. ranking without the subsequence prefilter.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "fuzzy_scoring/fuzzy_scoring.h"

namespace marlune::fuzzy_scoring {
namespace {

// Paths like "src/components/widgets/button_group.tsx", from a fixed seed.
std::vector<std::string> make_paths(std::size_t count) {
  static const char* const kDirs[] = {"src",   "lib",    "components", "widgets",  "utils",
                                      "core",  "app",    "services",   "models",   "views",
                                      "tests", "assets", "styles",     "hooks",    "store",
                                      "api",   "common", "shared",     "internal", "pkg"};
  static const char* const kWords[] = {
      "button",  "group",    "table",  "header", "footer",  "modal",   "dialog", "user",
      "profile", "settings", "list",   "item",   "card",    "menu",    "nav",    "form",
      "input",   "select",   "toggle", "panel",  "layout",  "index",   "main",   "helper",
      "config",  "router",   "state",  "action", "reducer", "service", "client", "handler"};
  static const char* const kExts[] = {".tsx", ".ts", ".js", ".py", ".go", ".rs", ".css", ".json"};
  std::mt19937 rng(12345);
  const auto pick = [&](const auto& list) { return std::string(list[rng() % std::size(list)]); };
  std::vector<std::string> paths;
  paths.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    std::string path;
    for (unsigned d = 1 + rng() % 4; d > 0; --d) path += pick(kDirs) + "/";
    const unsigned words = 1 + rng() % 3;
    const unsigned style = rng() % 3;
    for (unsigned w = 0; w < words; ++w) {
      std::string word = pick(kWords);
      if (w > 0 && style == 0) path += '_';
      if (w > 0 && style == 1) word[0] = static_cast<char>(word[0] - 'a' + 'A');
      if (w > 0 && style == 2) path += '-';
      path += word;
    }
    path += pick(kExts);
    paths.push_back(std::move(path));
  }
  return paths;
}

struct Corpus {
  std::vector<std::string> owned;
  std::vector<std::string_view> views;
  explicit Corpus(std::size_t n) : owned(make_paths(n)), views(owned.begin(), owned.end()) {}
};

const Corpus& corpus(std::size_t n) {
  static const Corpus small(10'000), large(100'000);
  return n == small.views.size() ? small : large;
}

// "rdxjs" (few paths match: reducer/index ... .json) and "btn" (many paths match).
const char* const kPatterns[] = {"rdxjs", "btn"};

void BM_GetBestMatches(benchmark::State& state) {
  const auto& views = corpus(static_cast<std::size_t>(state.range(0))).views;
  const char* pattern = kPatterns[state.range(1)];
  std::size_t matches = 0;
  for (auto _ : state) {
    auto ranked = get_best_matches(pattern, views);
    matches = ranked.size();
    benchmark::DoNotOptimize(ranked.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * views.size()));
  state.counters["matches"] = static_cast<double>(matches);
  state.SetLabel(pattern);
}

void BM_GetBestMatchesScoreEach(benchmark::State& state) {
  const auto& views = corpus(static_cast<std::size_t>(state.range(0))).views;
  const char* pattern = kPatterns[state.range(1)];
  for (auto _ : state) {
    std::vector<RankedCandidate> ranked;
    for (std::size_t i = 0; i < views.size(); ++i) {
      const FuzzyScore r = fuzzy_match(pattern, views[i]);
      if (r.matched) ranked.push_back({i, r.score});
    }
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](const auto& a, const auto& b) { return a.score > b.score; });
    benchmark::DoNotOptimize(ranked.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * views.size()));
  state.SetLabel(pattern);
}

BENCHMARK(BM_GetBestMatches)->ArgsProduct({{10'000, 100'000}, {0, 1}});
BENCHMARK(BM_GetBestMatchesScoreEach)->ArgsProduct({{10'000, 100'000}, {0, 1}});

struct Call {
  const char* pattern;
  const char* instring;
};
const Call kCalls[] = {
    {"btngrp", "src/components/widgets/button_group.tsx"},                       // matches
    {"rdxjs", "src/components/widgets/button_group.tsx"},                        // does not match
    {"btngrp", "src/composants/widgets/bouton_\xC3\xA9quipe/button_group.tsx"},  // non-ASCII
};

void BM_FuzzyMatch(benchmark::State& state) {
  const Call& call = kCalls[state.range(0)];
  for (auto _ : state) benchmark::DoNotOptimize(fuzzy_match(call.pattern, call.instring));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
  state.SetLabel(std::string(call.pattern) + " in " + call.instring);
}
BENCHMARK(BM_FuzzyMatch)->DenseRange(0, 2);

void BM_FuzzyMatchSimple(benchmark::State& state) {
  const bool case_sensitive = state.range(0) != 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        fuzzy_match_simple("BtnGrp", "src/components/widgets/button_group.tsx", case_sensitive));
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_FuzzyMatchSimple)->Arg(0)->Arg(1);

}  // namespace
}  // namespace marlune::fuzzy_scoring

BENCHMARK_MAIN();
