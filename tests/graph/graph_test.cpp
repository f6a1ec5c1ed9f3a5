// The graph records, the result type and the debug text with its escapes.

#include "test_support.hpp"

#include <limits>
#include <unordered_set>

namespace orvik_compiler {
namespace {

using testing::debug;

TEST_CASE("element counts are the product of the shape and never wrap", "[graph]") {
  const auto elements = [](std::vector<std::uint64_t> shape) {
    return Tensor{TensorId{0}, "t", DType::F32, std::move(shape), TensorKind::Input, {}}.elements();
  };
  CHECK(elements({}) == 1);
  CHECK(elements({2, 3, 4}) == 24);
  CHECK(elements({2, 0, 4}) == 0);
  CHECK(elements({std::uint64_t{1} << 32U, std::uint64_t{1} << 31U}) == std::uint64_t{1} << 63U);
  CHECK_THROWS_AS(elements({std::uint64_t{1} << 32U, std::uint64_t{1} << 32U}),
                  std::overflow_error);
  // A zero after an overflowing prefix still overflows: the product is computed in order.
  CHECK_THROWS_AS(elements({std::numeric_limits<std::uint64_t>::max(), 2, 0}), std::overflow_error);
  CHECK(DType{}.size() == 4);
}

TEST_CASE("ids compare and hash by index and print in tuple form", "[graph]") {
  CHECK(TensorId{3} == TensorId{3});
  CHECK(TensorId{3} != TensorId{4});
  CHECK(debug(TensorId{0}) == "TensorId(0)");
  CHECK(debug(OpId{3}) == "OpId(3)");
  const std::unordered_set<TensorId> ids{TensorId{1}, TensorId{1}, TensorId{2}};
  CHECK(ids.size() == 2);
}

TEST_CASE("a compile error prints its variant and its escaped message", "[graph][debug]") {
  CHECK(debug(CompileError::memory("address overflow")) == R"(Memory("address overflow"))");
  CHECK(debug(CompileError::graph("graph has no outputs")) == R"(Graph("graph has no outputs"))");
  CHECK(debug(CompileError::graph("say \"hi\"")) == R"(Graph("say \"hi\""))");
  // The names that the Python module gives its exception's `kind`.
  CHECK(kind_name(CompileError::Kind::Graph) == "Graph");
  CHECK(kind_name(CompileError::Kind::Memory) == "Memory");
}

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

TEST_CASE("the result type behaves like a value-or-error", "[graph][result]") {
  Result<int> value = 5;
  CHECK(value.has_value());
  CHECK(static_cast<bool>(value));
  CHECK(*value == 5);
  CHECK_THROWS_AS(value.error(), std::logic_error);

  const Result<int> error = CompileError::graph("bad");
  CHECK_FALSE(error);
  CHECK(error.error() == CompileError::graph("bad"));
  CHECK_THROWS_WITH(error.value(), R"(result holds an error: Graph("bad"))");

  Result<std::string> text = std::string("abc");
  CHECK(text->size() == 3);

  const Result<void> success;
  CHECK(success.has_value());
  const Result<void> failure = CompileError::memory("m");
  CHECK_THROWS_AS(failure.value(), BadResultAccess);
}

} // namespace
} // namespace orvik_compiler
