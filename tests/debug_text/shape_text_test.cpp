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

} // namespace
} // namespace orvik_compiler
