// The list form of a shape in messages.

#include "test_support.hpp"

namespace orvik_compiler {
namespace {

TEST_CASE("a shape is written as its extents in brackets, comma-separated", "[debug]") {
  CHECK(shape_text(std::vector<std::uint64_t>{}) == "[]");
  CHECK(shape_text(std::vector<std::uint64_t>{7}) == "[7]");
  CHECK(shape_text(std::vector<std::uint64_t>{4, 8}) == "[4, 8]");
  // Extents are written in full decimal, never shortened or in another base.
  CHECK(shape_text(std::vector<std::uint64_t>{0, 18446744073709551615U}) ==
        "[0, 18446744073709551615]");
}

TEST_CASE("a shape of high rank lists its first 16 extents and counts the rest", "[debug]") {
  std::vector<std::uint64_t> shape(16, 2);
  CHECK(shape_text(shape) == "[2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2]");
  shape.push_back(3);
  CHECK(shape_text(shape) == "[2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, ... 1 more]");
  // A million axes still make a short message.
  shape.resize(1000000, 1);
  CHECK(shape_text(shape).size() < 100);
  CHECK(shape_text(shape).ends_with(", ... 999984 more]"));
}

} // namespace
} // namespace orvik_compiler
