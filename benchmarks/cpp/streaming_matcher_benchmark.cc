// Cost of the streaming matcher over real program text: the standard library's .py files
// (MARLUNE_BENCH_SOURCE_DIR, or the pyenv 3.11.7 library) concatenated until a line count.
//
// Push/<lines>/<kind>: one pushed query line per iteration against a source of <lines> lines,
//   for a query copied from the source, one whose lines are all perturbed, and one from elsewhere
//   in the library. ns_per_cell = push time / source lines; a matcher is rebuilt every 200 lines.
// PlainRow/<lines>: the peer, a row computed the obvious way (every cell decides its pairing,
//   with the full edit distance), against the engine on the same perturbed lines, with the ratio.
// Memory/100000/2000: peak and retained heap of a 100,000-line source fed 2,000 lines.
#include "streaming_matcher/streaming_matcher.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "streaming_matcher/streaming_matcher_internal.h"
#include "support/allocation_hooks.h"
#include "support/reference_alignment.h"
#include "text/lines.h"

namespace marlune::streaming_matcher {
namespace {

namespace fs = std::filesystem;
using test_support::live_heap_bytes;
using test_support::peak_heap_bytes;

constexpr std::size_t kQueryLines = 200;

// The first `count` lines of the library's .py files, in path order.
const std::vector<std::string>& library_lines(std::size_t count) {
  static std::map<std::size_t, std::vector<std::string>> cache;
  auto& lines = cache[count];
  if (!lines.empty()) return lines;
  const char* dir = std::getenv("MARLUNE_BENCH_SOURCE_DIR");
  const fs::path root = dir != nullptr ? dir : "/root/.pyenv/versions/3.11.7/lib/python3.11";
  std::vector<fs::path> files;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_regular_file() && it->path().extension() == ".py") files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  for (const auto& file : files) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    const std::string content = text.str();
    for (const auto line : text::split_lines(content)) {
      lines.emplace_back(line);
      if (lines.size() == count) return lines;
    }
  }
  return lines;
}

std::string join(const std::vector<std::string>& lines, std::size_t begin, std::size_t end) {
  std::string out;
  for (std::size_t i = begin; i < end; ++i) out.append(lines[i]).push_back('\n');
  return out;
}

enum class QueryKind { Copied, Perturbed, Foreign };

// Query lines, each with its "\n". Perturbed lines have one character replaced in the middle and,
// every third line, a word inserted: mostly still similar to their source line, rarely equal.
std::vector<std::string> make_query(const std::vector<std::string>& corpus,
                                    std::size_t source_count, QueryKind kind, std::size_t count) {
  const std::size_t first = kind == QueryKind::Foreign ? source_count : source_count / 2;
  std::vector<std::string> query;
  for (std::size_t i = 0; i < count; ++i) {
    std::string line = corpus[first + i];
    if (kind == QueryKind::Perturbed && !line.empty()) {
      line[line.size() / 2] = line[line.size() / 2] == '#' ? '@' : '#';
      if (i % 3 == 0) line.insert(line.size() / 3, "tmp ");
    }
    query.push_back(line + "\n");
  }
  return query;
}

bool load(benchmark::State& state, std::size_t lines, const std::vector<std::string>*& corpus) {
  corpus = &library_lines(lines + 2 * kQueryLines + 2000);
  if (corpus->size() < lines + kQueryLines) {
    state.SkipWithError("not enough .py lines; set MARLUNE_BENCH_SOURCE_DIR");
    return false;
  }
  return true;
}

void set_cell_counters(benchmark::State& state, double cells) {
  state.counters["cells_per_s"] = benchmark::Counter(cells, benchmark::Counter::kIsRate);
  // Inverted rate of cells / 1e9: nanoseconds per cell.
  state.counters["ns_per_cell"] =
      benchmark::Counter(cells / 1e9, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void Push(benchmark::State& state) {
  const auto source_count = static_cast<std::size_t>(state.range(0));
  const auto kind = static_cast<QueryKind>(state.range(1));
  const std::vector<std::string>* corpus = nullptr;
  if (!load(state, source_count, corpus)) return;
  const std::string source = join(*corpus, 0, source_count);
  const auto query = make_query(*corpus, source_count, kind, kQueryLines);
  auto matcher = std::make_unique<StreamingFuzzyMatcher>(source);
  std::size_t next = 0;
  double cells = 0;
  for (auto _ : state) {
    if (next == query.size()) {
      state.PauseTiming();
      matcher = std::make_unique<StreamingFuzzyMatcher>(source);
      next = 0;
      state.ResumeTiming();
    }
    benchmark::DoNotOptimize(matcher->push(query[next++], std::nullopt));
    cells += static_cast<double>(source_count);
  }
  set_cell_counters(state, cells);
}
BENCHMARK(Push)
    ->ArgsProduct({{1000, 10000, 100000},
                   {int(QueryKind::Copied), int(QueryKind::Perturbed), int(QueryKind::Foreign)}})
    ->ArgNames({"lines", "kind"})
    ->Unit(benchmark::kMicrosecond);

// One row computed the obvious way over the same data (the plain reference the tests check the
// engine against): every cell decides its pairing with the full edit distance. The engine pushes
// the same line right after, timed apart, so that both figures and their ratio come from one run.
void PlainRow(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  const auto source_count = static_cast<std::size_t>(state.range(0));
  const std::vector<std::string>* corpus = nullptr;
  if (!load(state, source_count, corpus)) return;
  const std::string source = join(*corpus, 0, source_count);
  const auto query = make_query(*corpus, source_count, QueryKind::Perturbed, kQueryLines);
  std::vector<std::string_view> source_lines(corpus->begin(), corpus->begin() + source_count);
  const std::vector<AlignmentCell> row0(source_count + 1, {0, AlignmentDirection::Diagonal});
  std::vector<AlignmentCell> prev = row0, cur;
  auto matcher = std::make_unique<StreamingFuzzyMatcher>(source);
  std::size_t next = 0;
  double plain_seconds = 0, engine_seconds = 0, cells = 0;
  for (auto _ : state) {
    if (next == query.size()) {
      prev = row0;
      matcher = std::make_unique<StreamingFuzzyMatcher>(source);
      next = 0;
    }
    const std::string_view line = query[next];
    const std::string_view a = text::trim(line.substr(0, line.size() - 1));
    const auto t0 = Clock::now();
    test_support::reference_row(next + 1, a, source_lines, prev, cur);
    benchmark::DoNotOptimize(cur.data());
    std::swap(prev, cur);
    const auto t1 = Clock::now();
    benchmark::DoNotOptimize(matcher->push(line, std::nullopt));
    const auto t2 = Clock::now();
    ++next;
    plain_seconds += std::chrono::duration<double>(t1 - t0).count();
    engine_seconds += std::chrono::duration<double>(t2 - t1).count();
    cells += static_cast<double>(source_count);
  }
  state.counters["plain_ns_per_cell"] = plain_seconds * 1e9 / cells;
  state.counters["engine_ns_per_cell"] = engine_seconds * 1e9 / cells;
  state.counters["speedup"] = plain_seconds / engine_seconds;
}
BENCHMARK(PlainRow)->Arg(1000)->Arg(10000)->ArgName("lines")->Unit(benchmark::kMicrosecond);

void Memory(benchmark::State& state) {
  const auto source_count = static_cast<std::size_t>(state.range(0));
  const auto query_count = static_cast<std::size_t>(state.range(1));
  const std::vector<std::string>* corpus = nullptr;
  if (!load(state, source_count, corpus)) return;
  const std::string source = join(*corpus, 0, source_count);
  const auto query = make_query(*corpus, source_count, QueryKind::Perturbed, query_count);
  for (auto _ : state) {
    const std::size_t before = live_heap_bytes;
    peak_heap_bytes = live_heap_bytes;
    StreamingFuzzyMatcher matcher(source);
    const std::size_t constructed = live_heap_bytes - before;
    for (const auto& line : query) benchmark::DoNotOptimize(matcher.push(line, std::nullopt));
    const std::size_t retained = live_heap_bytes - before;
    const double cells =
        static_cast<double>(query_count + 1) * static_cast<double>(source_count + 1);
    state.counters["peak_MB"] = static_cast<double>(peak_heap_bytes - before) / 1e6;
    state.counters["constructed_MB"] = static_cast<double>(constructed) / 1e6;
    state.counters["retained_MB"] = static_cast<double>(retained) / 1e6;
    // The alignment state per matrix cell, and what pushing added per cell (the query lines).
    state.counters["alignment_bytes_per_cell"] =
        static_cast<double>(StreamingMatcherTestHook::alignment_bytes(matcher)) / cells;
    state.counters["growth_bytes_per_cell"] = static_cast<double>(retained - constructed) / cells;
  }
}
BENCHMARK(Memory)
    ->Args({100000, 2000})
    ->ArgNames({"lines", "query"})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace marlune::streaming_matcher

BENCHMARK_MAIN();
