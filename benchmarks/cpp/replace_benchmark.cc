// Where the time of a failing edit goes: the preparation of the content that the strategies
// share, each of the eight strategies of the cascade on content already prepared (as the
// driver runs them), the not-found diagnostics (closest-match search, first-line hint,
// message) and the whole replace_content call, one benchmark each, on the same 10,000- and
// 100,000-line content.
//
// The content is program text: the pure-ASCII .py files under MARLUNE_BENCH_CORPUS (the Python
// standard library in benchmarks/run.sh), walked in sorted order, or generated code-like text
// when no corpus is given. The search text is eight lines from the middle that begin at a `def`
// line seen once, with the fourth and the last line changed, so that no strategy places it and
// the closest match is the block it came from. benchmarks/bench_replace.py builds the same
// content and search text from the same files. One more benchmark times the closest-match
// search alone for a search text that begins with one of the content's most frequent lines,
// where it examines many windows.
// After the runs a table gives each part's share of the whole call.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include <unistd.h>

#include "content_replacer/diagnostics.h"
#include "content_replacer/prepared_content.h"
#include "content_replacer/replace_content.h"
#include "content_replacer/strategies.h"

namespace {

namespace cr = marlune::content_replacer;
namespace fs = std::filesystem;

constexpr std::size_t kSizes[] = {10'000, 100'000};
constexpr std::size_t kSearchLines = 8;

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

std::string_view strip(std::string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

// Appends the "\n"-separated pieces of `text`, an empty last piece included, as Python's
// str.split("\n") gives them.
void append_pieces(std::vector<std::string>& lines, const std::string& text) {
  std::size_t begin = 0;
  for (;;) {
    const std::size_t end = text.find('\n', begin);
    if (end == std::string::npos) {
      lines.emplace_back(text.substr(begin));
      return;
    }
    lines.emplace_back(text.substr(begin, end - begin));
    begin = end + 1;
  }
}

bool is_plain_ascii(const std::string& text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80 && c != '\r'; });
}

// A directory's own files before subdirectories, both in sorted order, as os.walk with
// sorted names visits them.
void walk(const fs::path& directory, std::vector<std::string>& lines, std::size_t count) {
  std::vector<fs::path> files, subdirectories;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(directory, error)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_directory(error)) {
      if (name != "site-packages" && name != "test") subdirectories.push_back(entry.path());
    } else if (entry.path().extension() == ".py") {
      files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  std::sort(subdirectories.begin(), subdirectories.end());
  for (const auto& file : files) {
    if (lines.size() >= count) return;
    std::ifstream in(file, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad() || !is_plain_ascii(text)) continue;
    append_pieces(lines, text);
  }
  for (const auto& subdirectory : subdirectories) {
    if (lines.size() >= count) return;
    walk(subdirectory, lines, count);
  }
}

// Code-like lines for a machine without a corpus: functions with argument lists and bodies.
std::vector<std::string> generated_lines(std::size_t count) {
  std::mt19937 rng(7);
  static const char* const kNames[] = {"value", "index",  "result", "buffer", "state",
                                       "count", "offset", "item",   "name",   "node"};
  auto name = [&] { return std::string(kNames[rng() % std::size(kNames)]); };
  std::vector<std::string> lines;
  for (std::size_t f = 0; lines.size() < count; ++f) {
    lines.push_back("    def method_" + std::to_string(f) + "(self, " + name() + "=None, " +
                    name() + "=None, *, " + name() + "=0):");
    for (std::size_t body = 4 + rng() % 12; body > 0; --body) {
      lines.push_back("        if " + name() + " is None:");
      lines.push_back("            " + name() + " = self." + name() + "(" + name() + ")");
    }
    lines.push_back("        return " + name());
    lines.emplace_back();
  }
  lines.resize(count);
  return lines;
}

std::vector<std::string> corpus_lines(std::size_t count) {
  std::vector<std::string> lines;
  if (const char* root = std::getenv("MARLUNE_BENCH_CORPUS"); root != nullptr && *root != '\0') {
    walk(root, lines, count);
  }
  if (lines.size() < count) return generated_lines(count);
  lines.resize(count);
  return lines;
}

// Eight lines from the middle whose first line passes `first_fits`, with the fourth and the
// last line changed, if there are such lines.
template <typename FirstFits>
std::optional<std::string> changed_block(const std::vector<std::string>& lines,
                                         FirstFits first_fits) {
  for (std::size_t start = lines.size() / 2; start + kSearchLines < lines.size(); ++start) {
    if (!first_fits(lines[start])) continue;
    std::vector<std::string> block(
        lines.begin() + static_cast<std::ptrdiff_t>(start),
        lines.begin() + static_cast<std::ptrdiff_t>(start + kSearchLines));
    if (!std::all_of(block.begin(), block.end(),
                     [](const std::string& l) { return strip(l).size() > 8; }) ||
        block[3] == block[7]) {
      continue;
    }
    while (!block[3].empty() && is_space(block[3].back())) block[3].pop_back();
    block[3] += "  # changed";
    if (const std::size_t paren = block[7].find('('); paren != std::string::npos) {
      block[7].insert(paren + 1, " ");
    }
    block[7] += "  # changed";
    std::string out;
    for (std::size_t i = 0; i < block.size(); ++i) {
      if (i > 0) out += '\n';
      out += block[i];
    }
    return out;
  }
  return std::nullopt;
}

[[noreturn]] void no_search_block() {
  std::fprintf(stderr, "no suitable search block in the content\n");
  std::abort();
}

// The failing edit: its first line is a `def` line seen once.
std::string failing_search_text(const std::vector<std::string>& lines) {
  std::unordered_map<std::string_view, std::size_t> seen;
  for (const auto& line : lines) ++seen[line];
  auto block = changed_block(lines, [&](std::string_view first) {
    return strip(first).starts_with("def ") && seen[first] == 1;
  });
  if (!block) no_search_block();
  return *block;
}

// The same kind of search text, but its first line is one of the content's most frequent
// lines of more than eight characters, so that the closest-match search examines the windows
// around each of its many occurrences instead of a single neighbourhood.
std::string frequent_first_line_search_text(const std::vector<std::string>& lines) {
  std::unordered_map<std::string_view, std::size_t> seen;
  for (const auto& line : lines) {
    if (strip(line).size() > 8) ++seen[line];
  }
  std::vector<std::pair<std::size_t, std::string_view>> by_count;
  for (const auto& [line, count] : seen) by_count.emplace_back(count, line);
  std::sort(by_count.begin(), by_count.end(), std::greater<>());
  for (const auto& [count, line] : by_count) {
    auto block = changed_block(lines, [&](std::string_view first) { return first == line; });
    if (block) return *block;
  }
  no_search_block();
}

// Every part a strategy may ask for, made now.
void prepare_all(cr::PreparedContent& prepared) {
  benchmark::DoNotOptimize(prepared.lines().data());
  benchmark::DoNotOptimize(prepared.trimmed_lines().data());
  benchmark::DoNotOptimize(prepared.indents().data());
  benchmark::DoNotOptimize(&prepared.non_blank());
  benchmark::DoNotOptimize(&prepared.joined());
}

struct Input {
  std::string content;
  std::string old_string;
  std::string frequent_old_string;
};

const Input& input(std::size_t size) {
  static std::map<std::size_t, Input> inputs;
  auto it = inputs.find(size);
  if (it == inputs.end()) {
    const auto lines = corpus_lines(size);
    Input in;
    for (const auto& line : lines) {
      in.content += line;
      in.content += '\n';
    }
    in.old_string = failing_search_text(lines);
    in.frequent_old_string = frequent_first_line_search_text(lines);
    const auto outcome =
        cr::replace_content(in.content, in.old_string, "replacement", false, std::nullopt);
    const auto* error = std::get_if<cr::ReplaceError>(&outcome);
    if (error == nullptr || error->kind != cr::ReplaceErrorKind::NotFound ||
        !error->closest_match) {
      std::fprintf(stderr, "the search text is not a failing edit with a closest match\n");
      std::abort();
    }
    it = inputs.emplace(size, std::move(in)).first;
  }
  return it->second;
}

// The part's name in the summary table comes from the benchmark's name.
void record(benchmark::State& state, std::size_t size) {
  state.SetBytesProcessed(
      static_cast<std::int64_t>(state.iterations() * input(size).content.size()));
}

void BM_Prepare(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  const Input& in = input(size);
  for (auto _ : state) {
    cr::PreparedContent prepared(in.content);
    prepare_all(prepared);
  }
  record(state, size);
}

// A strategy's own work, on content prepared as the cascade leaves it for that strategy: the
// per-line parts made, and the earlier strategies run on it, so that what they keep in the
// prepared content for later ones (the lines that match the anchors, the last substring
// search) is there too. That preparation is made anew for every iteration, off the clock.
void BM_Strategy(benchmark::State& state, std::size_t index) {
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  const Input& in = input(size);
  const cr::StrategyEntry& strategy = cr::kStrategies[index];
  for (auto _ : state) {
    state.PauseTiming();
    auto prepared = std::make_unique<cr::PreparedContent>(in.content);
    prepare_all(*prepared);
    for (std::size_t earlier = 0; earlier < index; ++earlier) {
      benchmark::DoNotOptimize(cr::kStrategies[earlier].on_prepared(*prepared, in.old_string));
    }
    state.ResumeTiming();
    auto candidates = strategy.on_prepared(*prepared, in.old_string);
    benchmark::DoNotOptimize(candidates);
    state.PauseTiming();
    prepared.reset();
    state.ResumeTiming();
  }
  record(state, size);
}

void BM_Diagnostics(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  const Input& in = input(size);
  for (auto _ : state) {
    auto report = cr::build_not_found_error(in.content, in.old_string);
    benchmark::DoNotOptimize(report);
  }
  record(state, size);
}

void BM_ClosestMatch(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  const Input& in = input(size);
  for (auto _ : state) {
    auto match = cr::find_closest_match(in.content, in.old_string);
    benchmark::DoNotOptimize(match);
  }
  record(state, size);
}

void BM_ClosestMatchFrequentFirstLine(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  const Input& in = input(size);
  for (auto _ : state) {
    auto match = cr::find_closest_match(in.content, in.frequent_old_string);
    benchmark::DoNotOptimize(match);
  }
  record(state, size);
}

void BM_FailingEdit(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  const Input& in = input(size);
  for (auto _ : state) {
    auto outcome = cr::replace_content(in.content, in.old_string, "replacement", false, {});
    benchmark::DoNotOptimize(outcome);
  }
  record(state, size);
}

void register_all() {
  auto sizes = [](benchmark::internal::Benchmark* b) {
    for (const std::size_t size : kSizes) b->Arg(static_cast<std::int64_t>(size));
    b->Unit(benchmark::kMicrosecond);
  };
  sizes(benchmark::RegisterBenchmark("BM_Prepare", BM_Prepare));
  // Each iteration of a strategy benchmark prepares its content off the clock, which costs far
  // more than the quicker strategies themselves: a fixed number of iterations keeps the run
  // short.
  for (std::size_t i = 0; i < cr::kStrategies.size(); ++i) {
    const std::string name = "BM_Strategy/" + std::string(cr::kStrategies[i].name);
    for (const std::size_t size : kSizes) {
      benchmark::RegisterBenchmark(name.c_str(), BM_Strategy, i)
          ->Arg(static_cast<std::int64_t>(size))
          ->Iterations(static_cast<benchmark::IterationCount>(4'000'000 / size))
          ->Unit(benchmark::kMicrosecond);
    }
  }
  sizes(benchmark::RegisterBenchmark("BM_Diagnostics", BM_Diagnostics));
  sizes(benchmark::RegisterBenchmark("BM_ClosestMatch", BM_ClosestMatch));
  sizes(benchmark::RegisterBenchmark("BM_FailingEdit", BM_FailingEdit));
  sizes(benchmark::RegisterBenchmark("BM_ClosestMatchFrequentFirstLine",
                                     BM_ClosestMatchFrequentFirstLine));
}

// Keeps the console output and remembers each run's time for the summary table.
class ShareReporter : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal: a reporter of our own does not see --benchmark_color.
  ShareReporter() : ConsoleReporter(isatty(fileno(stdout)) ? OO_Defaults : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
      // The size is the one argument; a fixed iteration count is not part of either.
      const std::size_t size = std::stoul(run.run_name.args);
      std::string key = run.run_name.function_name;
      if (key.starts_with("BM_Strategy/")) key = key.substr(12);
      if (key == "BM_Prepare") key = "prepare content (shared)";
      if (key == "BM_Diagnostics") key = "not-found diagnostics";
      if (key == "BM_ClosestMatch") key = "  of which find_closest_match";
      if (key == "BM_FailingEdit") key = "whole failing edit";
      if (key == "BM_ClosestMatchFrequentFirstLine") key = "closest match, other search text";
      const double ns =
          run.GetAdjustedCPUTime() * (run.time_unit == benchmark::kMicrosecond ? 1e3 : 1.0);
      parts_.emplace_back(key);
      times_[key][size] = ns;
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf(
        "\nShare of a failing edit (CPU time per call; share of the whole replace_content)\n");
    std::printf("%-32s", "part");
    for (const std::size_t size : kSizes) std::printf(" %9zu lines    share", size);
    std::printf("\n");
    std::vector<std::string> order;
    for (const auto& part : parts_) {
      if (std::find(order.begin(), order.end(), part) == order.end()) order.push_back(part);
    }
    const auto& whole = times_[std::string(kWhole)];
    for (const auto& part : order) {
      std::printf("%-32s", part.c_str());
      for (const std::size_t size : kSizes) {
        const auto found = times_[part].find(size);
        const auto total = whole.find(size);
        if (found == times_[part].end()) {
          std::printf(" %18s %7s", "-", "-");
          continue;
        }
        const double share =
            total == whole.end() || total->second == 0 ? 0.0 : found->second / total->second;
        std::printf(" %15.1f us %6.1f%%", found->second / 1e3, share * 100.0);
      }
      std::printf("\n");
    }
    // What the parts add up to, beside the whole: the rest is the driver's own work.
    std::printf("%-32s", "sum of the parts above the line");
    for (const std::size_t size : kSizes) {
      double sum = 0.0;
      for (const auto& part : order) {
        if (part == kWhole) break;
        if (!part.starts_with(" ")) sum += times_[part][size];
      }
      const auto total = whole.find(size);
      const double share = total == whole.end() || total->second == 0 ? 0.0 : sum / total->second;
      std::printf(" %15.1f us %6.1f%%", sum / 1e3, share * 100.0);
    }
    std::printf("\n");
  }

 private:
  static constexpr std::string_view kWhole = "whole failing edit";
  std::vector<std::string> parts_;
  std::map<std::string, std::map<std::size_t, double>> times_;
};

}  // namespace

int main(int argc, char** argv) {
  register_all();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  ShareReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
