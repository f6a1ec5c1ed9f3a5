// The orvik command line as a user mistypes it: unknown options and commands with the nearest
// valid name, the parser's own errors in the tool's form, refused target options explained,
// standard output claimed twice, and the help's usage line and defaults.

#include "tool_process.hpp"

#include <catch2/catch.hpp>

#include <string>
#include <vector>

namespace {

using orvik_tool::testing::orvik;
using orvik_tool::testing::Run;
using orvik_tool::testing::Scratch;

struct Case {
  std::string arguments;
  std::string error;
};

/// Runs each case and checks that it fails with the usage status, exactly the error and no
/// output.
void check_usage_errors(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    INFO(c.arguments);
    const Run run = orvik(c.arguments);
    CHECK(run.status == 2);
    CHECK(run.err == c.error);
    CHECK(run.out.empty());
  }
}

const std::string see_help = "Run with --help for more information.\n";

TEST_CASE("an unknown option or command is named with the nearest valid one", "[tool][cli]") {
  check_usage_errors({
      // Without the check, --tiels would be taken as GRAPH beside --encoder.
      {"compile --encoder --tiels 128",
       "orvik: error: unknown option --tiels (did you mean --tiles?)\n"},
      {"compile --encoder --tiels=128",
       "orvik: error: unknown option --tiels (did you mean --tiles?)\n"},
      {"compile --encoder -tiles 128",
       "orvik: error: unknown option -tiles (did you mean --tiles?)\n"},
      {"compil --encoder", "orvik: error: unknown command compil (did you mean compile?)\n"},
      {"rn --encoder", "orvik: error: unknown command rn (did you mean run?)\n"},
      {"--verison", "orvik: error: unknown option --verison (did you mean --version?)\n"},
      // Options are those of the command they follow, option groups' included.
      {"run --encoder --ouput d",
       "orvik: error: unknown option --ouput (did you mean --output?)\n"},
      {"verify s.json --encodr",
       "orvik: error: unknown option --encodr (did you mean --encoder?)\n"},
      {"import m.onnx --tiles 4", "orvik: error: unknown option --tiles\n"},
      {"compile --encoder --version", "orvik: error: unknown option --version\n"},
      // Too far from every name for a suggestion; a single letter is never a slip.
      {"frobnicate", "orvik: error: unknown command frobnicate\n"},
      {"compile --encoder --frobnicate", "orvik: error: unknown option --frobnicate\n"},
      {"compile --encoder --tilessss", "orvik: error: unknown option --tilessss\n"},
      {"compile --encoder -x", "orvik: error: unknown option -x\n"},
      // The first unknown argument is the one reported.
      {"compil --tiels", "orvik: error: unknown command compil (did you mean compile?)\n"},
      {"compile --encoder --frobnicate --tiels", "orvik: error: unknown option --frobnicate\n"},
  });
}

TEST_CASE("values, standard input and arguments after -- are not options", "[tool][cli]") {
  check_usage_errors({
      // The value an option needs is taken whatever it looks like, and checked as a value.
      {"compile --encoder --emit --tiels",
       "orvik: error: --emit: --tiels not in {summary,debug,json}\n" + see_help},
      {"compile --encoder -- --tiels",
       "orvik: error: the following argument was not expected: --tiels\n" + see_help},
      {"compile - --tiels", "orvik: error: unknown option --tiels (did you mean --tiles?)\n"},
  });
  // A help request wins over an unknown option, as it wins over every other error.
  const Run help = orvik("compile --tiels --help");
  CHECK(help.status == 0);
  CHECK(help.out.find("Usage: orvik compile") != std::string::npos);
  CHECK(help.err.empty());
}

TEST_CASE("the parser's own errors carry the tool's prefix", "[tool][cli]") {
  check_usage_errors({
      {"", "orvik: error: a subcommand is required\n" + see_help},
      {"compile", "orvik: error: exactly 1 option from [GRAPH,--encoder] is required\n" + see_help},
      {"compile --encoder a.json",
       "orvik: error: exactly 1 option from [GRAPH,--encoder] is required and 2 were given\n" +
           see_help},
      // A name in capitals keeps them.
      {"verify", "orvik: error: SCHEDULE is required\n" + see_help},
      {"compile ''", "orvik: error: GRAPH: an empty path names no file\n" + see_help},
      {"compile --encoder --tiles 12x",
       "orvik: error: --tiles: '12x' is not a decimal or 0x-hexadecimal number\n" + see_help},
      {"compile - --sequence 4", "orvik: error: --sequence requires --encoder\n" + see_help},
  });
}

TEST_CASE("refused target options say which option is wrong and why", "[tool][cli]") {
  const std::vector<Case> cases{
      {"--tiles 0", "invalid compiler options: --tiles must be at least 1"},
      {"--data-base 0x60000 --data-limit 0x52000",
       "invalid compiler options: --data-limit 0x52000 is not above --data-base 0x60000"},
      {"--data-base 4096 --data-limit 4096",
       "invalid compiler options: --data-limit 0x1000 is not above --data-base 0x1000"},
  };
  const Scratch scratch;
  const std::string schedule = (scratch / "s.json").string();
  REQUIRE(orvik("compile --encoder --emit json -o '" + schedule + "'").status == 0);
  for (const Case& c : cases) {
    INFO(c.arguments);
    const Run compiled = orvik("compile --encoder " + c.arguments);
    CHECK(compiled.status == 1);
    CHECK(compiled.err == "orvik: error: " + c.error + "\n");
    // verify reports a broken rule as its verdict, on standard output.
    const Run verified = orvik("verify '" + schedule + "' --encoder " + c.arguments);
    CHECK(verified.status == 1);
    CHECK(verified.out == c.error + "\n");
  }
}

TEST_CASE("an output on standard output beside the schedule's view says how to move the view",
          "[tool][cli]") {
  check_usage_errors({
      {"compile --encoder --trace -", "orvik: error: --trace - and the schedule summary both "
                                      "write standard output; -o FILE moves the summary\n"},
      {"compile --encoder --emit debug --memory-map -",
       "orvik: error: --memory-map - and the schedule debug text both write standard output; -o "
       "FILE moves the debug text\n"},
      {"compile --encoder --emit json --report -",
       "orvik: error: --report - and the schedule JSON both write standard output; -o FILE moves "
       "the JSON\n"},
      // An -o - that was given, or two outputs on standard output, are named as they are.
      {"compile --encoder -o - --trace -",
       "orvik: error: --trace - and -o - both write standard output\n"},
      {"compile --encoder --trace - --report -",
       "orvik: error: --trace - and --report - both write standard output\n"},
  });
}

TEST_CASE("help shows every positional argument and the window in hexadecimal", "[tool][cli]") {
  const std::vector<std::pair<std::string, std::string>> usages{
      {"compile", "Usage: orvik compile [OPTIONS] [GRAPH]\n"},
      {"run", "Usage: orvik run [OPTIONS] [GRAPH]\n"},
      {"verify", "Usage: orvik verify [OPTIONS] SCHEDULE [GRAPH]\n"},
      {"import", "Usage: orvik import [OPTIONS] MODEL\n"},
  };
  for (const auto& [command, usage] : usages) {
    INFO(command);
    const Run help = orvik(command + " --help");
    CHECK(help.status == 0);
    CHECK(help.out.find(usage) != std::string::npos);
    if (command == "compile" || command == "verify") {
      CHECK(help.out.find("--data-base UINT:NUMBER=0x52000\n") != std::string::npos);
      CHECK(help.out.find("--data-limit UINT:NUMBER=0xE0000\n") != std::string::npos);
    }
  }
}

} // namespace
