#include "content_replacer/prepared_content.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "content_replacer/substring_search.h"
#include "text/lines.h"

namespace marlune::content_replacer {

namespace {

// The memory of the per-line arrays a thread keeps from one prepared content for the next.
// Editing tools call again and again on the same files; arrays taken from the allocator anew on
// every call are, for contents of some size, blocks that it hands back to the system when they
// are freed and maps in again, a page fault per page, on the next call: that doubled the time of
// a failing edit on 10,000 and on 100,000 lines. What a content of up to about 130,000 lines
// needs is kept; larger contents take and give back their memory as before.
constexpr std::size_t kSpareBytesPerThread = kSpareLineArrayBytes;

class SpareArrays {
 public:
  // An empty array with room for `size` elements, in a spare one when one is large enough:
  // the smallest of those, so that the arrays of one content each find their own again.
  template <typename T>
  std::vector<T> take(std::size_t size) {
    auto& spares = list<T>();
    auto fit = spares.end();
    for (auto it = spares.begin(); it != spares.end(); ++it) {
      if (it->capacity() >= size && (fit == spares.end() || it->capacity() < fit->capacity())) {
        fit = it;
      }
    }
    std::vector<T> array;
    if (fit != spares.end()) {
      array = std::move(*fit);
      spares.erase(fit);
      bytes_ -= array.capacity() * sizeof(T);
    }
    array.reserve(size);
    return array;
  }

  // Called from a destructor: when even the list of spares cannot grow, the array is freed.
  template <typename T>
  void give(std::vector<T>&& array) noexcept {
    const std::size_t bytes = array.capacity() * sizeof(T);
    if (bytes == 0 || bytes > kSpareBytesPerThread - bytes_) return;  // freed with `array`
    array.clear();
    try {
      list<T>().push_back(std::move(array));
    } catch (const std::bad_alloc&) {
      return;
    }
    bytes_ += bytes;
  }

  std::size_t bytes() const { return bytes_; }

 private:
  template <typename T>
  std::vector<std::vector<T>>& list() {
    if constexpr (std::is_same_v<T, std::string_view>) {
      return views_;
    } else {
      return offsets_;
    }
  }

  std::vector<std::vector<std::string_view>> views_;
  std::vector<std::vector<std::size_t>> offsets_;
  std::size_t bytes_ = 0;
};

// Set once this thread's spares are destroyed: a prepared content that outlives them (one in
// static storage, destroyed at exit after the thread's own objects) must not reach them.
thread_local bool spares_destroyed = false;

struct ThreadSpares : SpareArrays {
  ~ThreadSpares() { spares_destroyed = true; }
};

// This thread's spares, made on first use; null once they are destroyed.
SpareArrays* thread_spares() {
  if (spares_destroyed) return nullptr;
  thread_local ThreadSpares spares;
  return &spares;
}

template <typename T>
std::vector<T> take_spare(std::size_t size) {
  if (SpareArrays* spares = thread_spares()) return spares->take<T>(size);
  std::vector<T> array;
  array.reserve(size);
  return array;
}

template <typename T>
void give_spare(std::vector<T>&& array) noexcept {
  if (SpareArrays* spares = thread_spares()) spares->give(std::move(array));
}

}  // namespace

std::size_t spare_line_array_bytes() {
  const SpareArrays* spares = thread_spares();
  return spares == nullptr ? 0 : spares->bytes();
}

JoinedLines::JoinedLines(std::string_view text, std::span<const std::string_view> lines,
                         std::vector<std::size_t> start_storage)
    : start(std::move(start_storage)) {
  start.clear();
  start.reserve(lines.size());
  if (text.find('\r') == std::string_view::npos) {
    // Every line but the last is followed by its "\n" in the text itself.
    for (const auto line : lines)
      start.push_back(static_cast<std::size_t>(line.data() - text.data()));
    joined = lines.empty() ? text.substr(0, 0) : text.substr(0, start.back() + lines.back().size());
    return;
  }
  std::size_t total = lines.empty() ? 0 : lines.size() - 1;
  for (const auto line : lines) total += line.size();
  storage_.reserve(total);
  for (const auto line : lines) {
    if (!start.empty()) storage_.push_back('\n');
    start.push_back(storage_.size());
    storage_.append(line);
  }
  joined = storage_;
}

PreparedContent::~PreparedContent() {
  if (lines_) give_spare(std::move(*lines_));
  if (trimmed_) give_spare(std::move(*trimmed_));
  if (indents_) give_spare(std::move(*indents_));
  if (non_blank_) {
    give_spare(std::move(non_blank_->next));
    give_spare(std::move(non_blank_->prev));
  }
  if (joined_) give_spare(std::move(joined_->start));
}

std::size_t PreparedContent::first_occurrence(std::string_view needle) {
  if (!last_occurrence_ || last_occurrence_->first != needle) {
    last_occurrence_.emplace(std::string(needle), find_first(text_, needle));
  }
  return last_occurrence_->second;
}

namespace {

// Byte length of the line's indentation, as text::indent_bytes measures it. Indentation is
// spaces and tabs nearly always: runs of spaces are measured eight bytes at a time (the first
// byte that is no space is the lowest nonzero byte of the word xor eight spaces), the rest byte
// by byte, and only a line that goes on with other whitespace is measured in full.
std::size_t line_indent(std::string_view line) {
  constexpr std::uint64_t kEightSpaces = 0x2020202020202020;
  std::size_t pos = 0;
  while (line.size() - pos >= 8) {
    std::uint64_t word;
    std::memcpy(&word, line.data() + pos, 8);
    const std::uint64_t differs = word ^ kEightSpaces;
    if (differs != 0) {
      pos += lowest_differing_byte(differs);
      break;
    }
    pos += 8;
  }
  while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
  if (pos == line.size()) return pos;
  const auto next = static_cast<unsigned char>(line[pos]);
  return next < 0x80 && !text::is_ascii_space(next) ? pos : text::indent_bytes(line);
}

// The text without trailing whitespace, as text::trim_end gives it; most lines end in a
// character that is not whitespace and are their own trimmed form.
std::string_view without_trailing_space(std::string_view text) {
  if (text.empty()) return text;
  const auto last = static_cast<unsigned char>(text.back());
  return last < 0x80 && !text::is_ascii_space(last) ? text : text::trim_end(text);
}

}  // namespace

void PreparedContent::split() {
  // Every strategy that asks for one of these asks for the others soon after, so the lines,
  // their indentation and their trimmed forms are made in one pass over the text.
  const std::size_t most = text::count_newlines(text_) + 1;
  auto& lines = lines_.emplace(take_spare<std::string_view>(most));
  auto& indents = indents_.emplace(take_spare<std::size_t>(most));
  auto& trimmed = trimmed_.emplace(take_spare<std::string_view>(most));
  text::for_each_line(text_, [&](std::string_view line) __attribute__((always_inline)) {
    const std::size_t indent = line_indent(line);
    lines.push_back(line);
    indents.push_back(indent);
    trimmed.push_back(without_trailing_space(line.substr(indent)));
  });
}

std::span<const std::string_view> PreparedContent::lines() {
  if (!lines_) split();
  return *lines_;
}

std::span<const std::string_view> PreparedContent::trimmed_lines() {
  if (!trimmed_) split();
  return *trimmed_;
}

std::span<const std::size_t> PreparedContent::indents() {
  if (!indents_) split();
  return *indents_;
}

const NonBlankIndex& PreparedContent::non_blank() {
  if (!non_blank_) {
    // A line is blank exactly when its trimmed form is empty.
    const auto trimmed = trimmed_lines();
    non_blank_.emplace(
        trimmed.size(), [&](std::size_t j) { return trimmed[j].empty(); },
        take_spare<std::size_t>(trimmed.size() + 1), take_spare<std::size_t>(trimmed.size()));
  }
  return *non_blank_;
}

std::span<const std::size_t> PreparedContent::lines_trimmed_to(std::string_view wanted) {
  for (const auto& [key, positions] : trimmed_to_) {
    if (key == wanted) return positions;
  }
  const auto trimmed = trimmed_lines();
  std::vector<std::size_t> positions;
  for (std::size_t j = 0; j < trimmed.size(); ++j) {
    // The lengths differ for nearly every line: that test comes before any byte is compared.
    if (trimmed[j].size() == wanted.size() && trimmed[j] == wanted) positions.push_back(j);
  }
  return trimmed_to_.emplace_back(std::string(wanted), std::move(positions)).second;
}

const JoinedLines& PreparedContent::joined() {
  if (!joined_) {
    const auto all = lines();
    joined_.emplace(text_, all, take_spare<std::size_t>(all.size()));
  }
  return *joined_;
}

}  // namespace marlune::content_replacer
