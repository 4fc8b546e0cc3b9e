#include "content_replacer/prepared_content.h"

#include "content_replacer/substring_search.h"
#include "text/lines.h"

namespace marlune::content_replacer {

JoinedLines::JoinedLines(std::string_view text, std::span<const std::string_view> lines) {
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

bool PreparedContent::contains(std::string_view needle) {
  if (!last_contains_ || last_contains_->first != needle) {
    last_contains_.emplace(std::string(needle), content_replacer::contains(text_, needle));
  }
  return last_contains_->second;
}

std::span<const std::string_view> PreparedContent::lines() {
  if (!lines_) lines_ = text::split_lines(text_);
  return *lines_;
}

std::span<const std::string_view> PreparedContent::trimmed_lines() {
  if (!trimmed_) {
    const auto all = lines();
    std::vector<std::string_view>& out = trimmed_.emplace();
    out.reserve(all.size());
    const auto indent = indents();
    for (std::size_t j = 0; j < all.size(); ++j) {
      out.push_back(text::trim_end(all[j].substr(indent[j])));
    }
  }
  return *trimmed_;
}

std::span<const std::size_t> PreparedContent::indents() {
  if (!indents_) {
    const auto all = lines();
    std::vector<std::size_t>& out = indents_.emplace();
    out.reserve(all.size());
    for (const auto line : all) out.push_back(text::indent_bytes(line));
  }
  return *indents_;
}

const NonBlankIndex& PreparedContent::non_blank() {
  if (!non_blank_) {
    const auto all = lines();
    const auto indent = indents();
    non_blank_.emplace(all.size(), [&](std::size_t j) { return indent[j] == all[j].size(); });
  }
  return *non_blank_;
}

const JoinedLines& PreparedContent::joined() {
  if (!joined_) joined_.emplace(text_, lines());
  return *joined_;
}

}  // namespace marlune::content_replacer
