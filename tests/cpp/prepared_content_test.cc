#include "content_replacer/prepared_content.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "text/lines.h"

namespace marlune::content_replacer {
namespace {

// Content whose lines mix every kind of indentation and trailing whitespace the measures
// must handle: runs of spaces longer and shorter than a word, tabs, a form feed, a "\r" that
// is no line break, and multi-byte White_Space (no-break space, ideographic space).
std::string random_content(std::mt19937& random, std::size_t lines) {
  const std::vector<std::string> pieces = {" ",  "        ", "\t",          "\f",
                                           "\r", "\xC2\xA0", "\xE3\x80\x80"};
  const std::vector<std::string> bodies = {"x", "def f():", "", "\xC3\xA9t\xC3\xA9", "a b"};
  std::string content;
  for (std::size_t j = 0; j < lines; ++j) {
    for (int k = static_cast<int>(random() % 4); k > 0; --k) {
      content += pieces[random() % pieces.size()];
    }
    content += bodies[random() % bodies.size()];
    for (int k = static_cast<int>(random() % 3); k > 0; --k) {
      content += pieces[random() % pieces.size()];
    }
    content += random() % 5 == 0 ? "\r\n" : "\n";
  }
  if (random() % 2 == 0 && !content.empty()) content.pop_back();
  return content;
}

TEST(PreparedContent, LinesIndentsAndTrimmedFormsMatchTheLineFunctions) {
  std::mt19937 random(11);
  for (int round = 0; round < 300; ++round) {
    const std::string content = random_content(random, random() % 12);
    PreparedContent prepared(content);
    const auto expected = text::split_lines(content);
    const auto lines = prepared.lines();
    ASSERT_EQ(std::vector<std::string_view>(lines.begin(), lines.end()), expected);
    const auto indents = prepared.indents();
    const auto trimmed = prepared.trimmed_lines();
    ASSERT_EQ(indents.size(), expected.size());
    ASSERT_EQ(trimmed.size(), expected.size());
    for (std::size_t j = 0; j < expected.size(); ++j) {
      const auto line = expected[j];
      ASSERT_EQ(indents[j], text::indent_bytes(line)) << "line " << j << " of " << content;
      ASSERT_EQ(trimmed[j], text::trim(line)) << "line " << j << " of " << content;
      // The trimmed form is a view into the line, after its indentation.
      ASSERT_EQ(trimmed[j].data(), line.data() + indents[j]);
    }
  }
}

TEST(PreparedContent, ListsTheLinesTrimmedToATextAndKeepsEveryAnswer) {
  const std::string content = "  a\nb\n\ta \nab\n a\r\n";
  PreparedContent prepared(content);
  const auto a = prepared.lines_trimmed_to("a");
  const auto b = prepared.lines_trimmed_to("b");
  const auto none = prepared.lines_trimmed_to("c");
  const auto blank = prepared.lines_trimmed_to("");
  // Spans handed out earlier still read the same after later questions.
  EXPECT_EQ(std::vector<std::size_t>(a.begin(), a.end()), (std::vector<std::size_t>{0, 2, 4}));
  EXPECT_EQ(std::vector<std::size_t>(b.begin(), b.end()), (std::vector<std::size_t>{1}));
  EXPECT_TRUE(none.empty());
  EXPECT_TRUE(blank.empty());
  EXPECT_EQ(prepared.lines_trimmed_to("a").data(), a.data());
}

TEST(PreparedContent, OneInStaticStorageOutlivesTheThreadsSpareArrays) {
  // Destroyed at exit, after the main thread's spare arrays: its arrays must be freed instead
  // of handed to spares that are gone (a use after free that the sanitizer build reports, and
  // that ends the process with an error there).
  static const std::string content = "  a\nb\n";
  static PreparedContent kept(content);
  ASSERT_EQ(kept.lines().size(), 2u);
  ASSERT_EQ(kept.non_blank().prev[1], 1u);
  ASSERT_EQ(kept.joined().start.size(), 2u);
}

}  // namespace
}  // namespace marlune::content_replacer
