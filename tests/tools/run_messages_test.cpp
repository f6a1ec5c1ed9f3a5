// What `orvik run` tells the user when a run cannot go ahead as typed: every tensor still
// without a value at once, a misspelt graph-file field with the one it stands for, and an
// output directory that does not exist yet.

#include "orvik/npy_file.hpp"
#include "tool_process.hpp"

#include <catch2/catch.hpp>

#include <filesystem>
#include <fstream>

namespace orvik_tool::testing {
namespace {

namespace fs = std::filesystem;

/// Runs orvik in `directory`, so that file names in messages are as short as the user typed.
Run orvik_in(const fs::path& directory, const std::string& arguments) {
  return shell("cd " + quoted(directory.string()) + " && " + orvik_command() + " " + arguments);
}

TEST_CASE("run lists every tensor without a value, in graph order, with its shape", "[tool][run]") {
  const Scratch scratch;
  // "late" is read by nothing and marked as no output, so it needs no value; "direct" is an
  // output without an operation; the tab in a name is shown escaped.
  std::ofstream(scratch / "g.json") << R"({"format": "orvik-graph", "version": 1, "steps": [
    {"op": "input", "name": "x", "shape": [4, 8]},
    {"op": "weight", "name": "w", "shape": [8, 512]},
    {"op": "input", "name": "late", "shape": [3]},
    {"op": "input", "name": "a\tb", "shape": [2]},
    {"op": "input", "name": "direct", "shape": [1, 1]},
    {"op": "matmul", "name": "y", "left": "x", "right": "w"},
    {"op": "gelu", "name": "g", "input": "a\tb"},
    {"op": "output", "tensor": "y"},
    {"op": "output", "tensor": "direct"},
    {"op": "output", "tensor": "g"}]})";
  // The output directory does not exist yet, and is not made for a run that fails.
  const Run none = orvik_in(scratch.path(), "run g.json -o out");
  CHECK(none.status == 1);
  CHECK(none.err == "orvik: error: 4 tensors have no value; bind each with --input NAME=FILE "
                    "(.npy or .pb):\n"
                    "  x [4, 8]\n"
                    "  w [8, 512]\n"
                    "  \"a\\tb\" [2]\n"
                    "  direct [1, 1]\n");
  CHECK(none.out.empty());

  std::ofstream(scratch / "x.npy", std::ios::binary)
      << write_npy(std::vector<std::uint64_t>{4, 8}, std::vector<float>(32));
  std::ofstream(scratch / "d.npy", std::ios::binary)
      << write_npy(std::vector<std::uint64_t>{1, 1}, std::vector<float>{1.0F});
  const Run some =
      orvik_in(scratch.path(), "run g.json -o out --input x=x.npy --input direct=d.npy");
  CHECK(some.status == 1);
  CHECK(some.err == "orvik: error: 2 tensors have no value; bind each with --input NAME=FILE "
                    "(.npy or .pb):\n"
                    "  w [8, 512]\n"
                    "  \"a\\tb\" [2]\n");
  CHECK(!fs::exists(scratch / "out"));
}

TEST_CASE("run names a misspelt graph-file field and the field it stands for", "[tool][run]") {
  const Scratch scratch;
  std::ofstream(scratch / "g.json") << R"({"format": "orvik-graph", "version": 1, "steps": [
    {"op": "input", "name": "x", "shape": [4, 8]},
    {"op": "weight", "name": "w", "shape": [8, 8]},
    {"op": "layer_norm", "name": "n", "input": "x", "epsilom": 0.00001},
    {"op": "output", "tensor": "n"}]})";
  const Run run = orvik_in(scratch.path(), "run g.json");
  CHECK(run.status == 2);
  CHECK(run.err ==
        "g.json: error: step 3 \"n\": unknown field $.steps[2].epsilom (did you mean epsilon?)\n");
  CHECK(run.out.empty());
}

TEST_CASE("run -o makes a missing directory for the outputs", "[tool][run]") {
  const Scratch scratch;
  const std::string layer = (scratch / "layer").string();
  const Run made = orvik("run --encoder -o " + quoted(layer));
  CHECK(made.status == 0);
  CHECK(made.err.empty());
  CHECK(made.out == "wrote " + layer + "/ffn_residual.npy: [32, 64]\n");
  CHECK(read_npy(slurp(scratch / "layer" / "ffn_residual.npy"), "ffn_residual.npy"));

  // A DIR that exists as a file stays an error, and the file is left as it was.
  std::ofstream(scratch / "file") << "kept";
  const Run file = orvik("run --encoder -o " + quoted((scratch / "file").string()));
  CHECK(file.status == 2);
  CHECK(file.err == "orvik: error: cannot write " +
                        (scratch / "file" / "ffn_residual.npy").string() + ": not a directory\n");
  CHECK(slurp(scratch / "file") == "kept");
}

} // namespace
} // namespace orvik_tool::testing
