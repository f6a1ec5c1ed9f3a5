// `orvik verify`: a schedule JSON file checked against its graph and the target's options.

#include "tool_process.hpp"

#include <catch2/catch.hpp>

#include <filesystem>
#include <fstream>

namespace {

using orvik_tool::testing::orvik;
using orvik_tool::testing::Scratch;

TEST_CASE("orvik verify: ok, a broken rule, or unreadable input", "[tool][verify]") {
  const Scratch scratch;
  const std::string schedule = (scratch / "s.json").string();
  REQUIRE(orvik("compile --encoder --emit json -o " + schedule).status == 0);
  REQUIRE(orvik("graph --encoder -o " + (scratch / "g.json").string()).status == 0);

  const auto ok = orvik("verify " + schedule + " --encoder");
  CHECK(ok.status == 0);
  CHECK(ok.out == "ok\n");
  CHECK(orvik("verify - " + (scratch / "g.json").string(), orvik_tool::testing::slurp(schedule))
            .out == "ok\n");

  const auto other_target = orvik("verify " + schedule + " --encoder --tiles 32");
  CHECK(other_target.status == 1);
  CHECK(other_target.out == "the schedule is for 64 tiles, the options for 32\n");
  const auto other_graph = orvik("verify " + schedule + " --encoder --hidden 32");
  CHECK(other_graph.status == 1);

  std::ofstream(scratch / "bad.json") << "{\"schema\": \"orvik-schedule\", \"version\": 1}";
  const auto unreadable = orvik("verify " + (scratch / "bad.json").string() + " --encoder");
  CHECK(unreadable.status == 2);
  CHECK(unreadable.err == (scratch / "bad.json").string() + ": error: tile_count: missing\n");
  CHECK(orvik("verify " + (scratch / "missing.json").string() + " --encoder").status == 2);
}

} // namespace
