// The graph file as the tool reads it: inputs that never end or cannot be read.

#include "tool_process.hpp"

#include <catch2/catch.hpp>

#include <filesystem>
#include <fstream>

namespace orvik_tool::testing {
namespace {

namespace fs = std::filesystem;

TEST_CASE("an input larger than the limit is refused without being read whole", "[tool][input]") {
  const Scratch scratch;
  const std::string graph = orvik("graph --encoder").out;
  std::ofstream(scratch / "g.json") << graph;
  const std::string g = quoted((scratch / "g.json").string());
  const std::string exact = " --max-input-bytes " + std::to_string(graph.size());
  const std::string short_by_one = " --max-input-bytes " + std::to_string(graph.size() - 1);
  struct Case {
    std::string command_line;
    int status;
    std::string error;
  };
  const std::vector<Case> cases{
      // A pipe longer than the default limit of 16 MiB, and an endless device with a limit
      // given (a run that reads it whole never ends, or ends when memory does).
      {"head -c 20000000 /dev/zero | " + orvik_command() + " compile -", 2,
       "orvik: error: standard input is larger than the limit of 16777216 bytes\n"},
      {orvik_command() + " compile /dev/zero --max-input-bytes 0x1000", 2,
       "orvik: error: /dev/zero is larger than the limit of 4096 bytes\n"},
      // A file of exactly the limit reads; one byte less does not, from a file or a pipe.
      {orvik_command() + " compile " + g + exact, 0, ""},
      {orvik_command() + " compile - < " + g + exact, 0, ""},
      {orvik_command() + " compile " + g + short_by_one, 2,
       "orvik: error: " + (scratch / "g.json").string() + " is larger than the limit of " +
           std::to_string(graph.size() - 1) + " bytes\n"},
      {"cat " + g + " | " + orvik_command() + " compile -" + short_by_one, 2,
       "orvik: error: standard input is larger than the limit of " +
           std::to_string(graph.size() - 1) + " bytes\n"},
  };
  for (const Case& c : cases) {
    INFO(c.command_line);
    const Run run = shell(c.command_line);
    CHECK(run.status == c.status);
    CHECK(run.err == c.error);
  }
}

TEST_CASE("an input that cannot be read is reported as such, not as bad JSON", "[tool][input]") {
  const Scratch scratch;
  fs::create_directory(scratch / "dir");
  const std::string dir = (scratch / "dir").string();
  struct Case {
    std::string command_line;
    std::string error;
  };
  const std::vector<Case> cases{
      {orvik_command() + " compile " + quoted(dir), "cannot read " + dir + ": is a directory"},
      {orvik_command() + " compile - < " + quoted(dir),
       "cannot read standard input: is a directory"},
      {orvik_command() + " compile - <&-", "cannot read standard input: bad file descriptor"},
      {orvik_command() + " compile " + quoted(dir + "/missing.json"),
       "cannot read " + dir + "/missing.json: no such file or directory"},
  };
  for (const Case& c : cases) {
    INFO(c.command_line);
    const Run run = shell(c.command_line);
    CHECK(run.status == 2);
    CHECK(run.err == "orvik: error: " + c.error + "\n");
    CHECK(run.out.empty());
  }
}

} // namespace
} // namespace orvik_tool::testing
