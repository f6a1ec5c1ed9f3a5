// The escaped form of names and messages in debug text.

#include "test_support.hpp"

namespace orvik_compiler {
namespace {

TEST_CASE("debug text escapes exactly the special and non-printable characters", "[debug]") {
  const auto escaped = [](std::string_view text) {
    std::ostringstream out;
    write_escaped(out, text);
    return out.str();
  };
  struct Case {
    std::string text;
    std::string expected;
  };
  // Fixed escapes, characters printed as they are, and characters shown as \u{...}.
  const std::vector<Case> cases{
      {"plain 'quote'", "\"plain 'quote'\""},
      {"\"\\\t\r\n", R"("\"\\\t\r\n")"},
      {std::string("a\0b", 3), R"("a\0b")"},
      {"\x01\x1f\x7f", R"("\u{1}\u{1f}\u{7f}")"},
      {"caf\u00e9 \u4e2d \U0001F600", "\"caf\u00e9 \u4e2d \U0001F600\""},
      {"e\u0301", R"("e\u{301}")"}, // combining acute accent: Grapheme_Extend
      {"\u00a0|\u2028|\u2029", R"("\u{a0}|\u{2028}|\u{2029}")"}, // Zs other than space, Zl, Zp
      {"\u200b\u00ad", R"("\u{200b}\u{ad}")"},                   // Cf
      {"\ue000", R"("\u{e000}")"},                               // Co, private use
      {"\u0378", R"("\u{378}")"},                                // Cn, unassigned
      {"\U0010FFFF", R"("\u{10ffff}")"},                         // Cn, non-character
      {"\u200d", R"("\u{200d}")"}, // zero-width joiner: Cf and Grapheme_Extend
  };
  for (const Case& c : cases) {
    CHECK(escaped(c.text) == c.expected);
  }
}

TEST_CASE("bytes outside well-formed UTF-8 print as \\x escapes", "[debug]") {
  const auto escaped = [](std::string_view text) {
    std::ostringstream out;
    write_escaped(out, text);
    return out.str();
  };
  CHECK(escaped("\xff") == R"("\xff")");
  CHECK(escaped("a\xc3") == R"("a\xc3")");                       // truncated sequence
  CHECK(escaped("\xc0\xaf") == R"("\xc0\xaf")");                 // overlong form
  CHECK(escaped("\xed\xa0\x80") == R"("\xed\xa0\x80")");         // encoded surrogate
  CHECK(escaped("\xf4\x90\x80\x80") == R"("\xf4\x90\x80\x80")"); // past U+10FFFF
  CHECK(escaped("\xe2\x82z") == R"("\xe2\x82z")");               // continuation missing
  CHECK(escaped("\x80\xc3\xa9") == "\"\\x80\u00e9\"");           // recovers at the next lead byte
}

} // namespace
} // namespace orvik_compiler
