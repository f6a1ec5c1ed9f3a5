// The valid name that a mistyped one most likely stands for.

#include "orvik/nearest_name.hpp"

#include <catch2/catch.hpp>

#include <string>
#include <vector>

namespace {

using orvik_tool::edit_distance;
using orvik_tool::nearest_name;

TEST_CASE("edit distance counts a swap of neighbours as one edit", "[tool][cli]") {
  struct Case {
    const char* from;
    const char* to;
    std::size_t distance;
  };
  const Case cases[] = {
      {"", "", 0},
      {"", "abc", 3},
      {"abc", "", 3},
      {"tiles", "tiles", 0},
      {"tiels", "tiles", 1},
      {"compil", "compile", 1},
      {"tiles", "tile", 1},
      {"tilse", "tiles", 1},
      {"emti", "emit", 1},
      // Each character is edited once at most: "ca" to "abc" is not one swap and one insert.
      {"ca", "abc", 3},
      {"abcd", "badc", 2},
      {"frobnicate", "tiles", 9},
  };
  for (const Case& c : cases) {
    INFO(c.from << " -> " << c.to);
    CHECK(edit_distance(c.from, c.to) == c.distance);
    CHECK(edit_distance(c.to, c.from) == c.distance);
  }
}

TEST_CASE("a name is suggested only when a slip explains the difference", "[tool][cli]") {
  const std::vector<std::string> options{"--tiles", "--tile", "--data-base", "--output", "-o"};
  struct Case {
    const char* typed;
    const char* suggestion;
  };
  const Case cases[] = {
      {"--tiels", "--tiles"},
      {"-tiles", "--tiles"}, // dashes do not count
      {"--tils", "--tiles"}, // equally near to --tile: the first candidate wins
      {"--dta-bsae", "--data-base"},
      {"--ouptut", "--output"},
      // Two edits need five characters typed, one edit two, and a single letter none.
      {"--tlise", "--tiles"},
      {"--tlse", ""},
      {"--tilesss", "--tiles"},
      {"--tilessss", ""},
      {"-x", ""},
      {"--frobnicate", ""},
  };
  for (const Case& c : cases) {
    INFO(c.typed);
    CHECK(nearest_name(c.typed, options) == c.suggestion);
  }
  CHECK(nearest_name("rn", {"compile", "run"}) == "run");
  CHECK(nearest_name("anything", {}).empty());
  // A key of megabytes in a graph file is refused without a table of its length times each
  // candidate's.
  CHECK(nearest_name(std::string(std::size_t{1} << 24, 'e') + "psilon", {"epsilon"}).empty());
}

} // namespace
