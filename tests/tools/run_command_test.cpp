// `orvik run` as a user runs it: values bound by name from .npy files, outputs written as
// .npy files, and every refusal with its message and exit status.

#include "orvik/npy_file.hpp"
#include "orvik/run_graph.hpp"
#include "tool_process.hpp"

#include <orvik_compiler/orvik_compiler.hpp>

#include <catch2/catch.hpp>

#include <filesystem>
#include <fstream>

namespace orvik_tool::testing {
namespace {

namespace fs = std::filesystem;
namespace oc = orvik_compiler;

/// Writes an array as a .npy file.
void write_array(const fs::path& path, const std::vector<std::uint64_t>& shape,
                 const std::vector<float>& values) {
  std::ofstream(path, std::ios::binary) << write_npy(shape, values);
}

NpyArray read_array(const fs::path& path) {
  ToolResult<NpyArray> array = read_npy(slurp(path), path.string());
  REQUIRE(array);
  return std::move(*array);
}

/// The encoder's values as `orvik run --encoder` binds them by default, with `input` replaced
/// when given.
std::vector<std::vector<float>> evaluate_encoder(const oc::EncoderConfig& config,
                                                 std::vector<float> input = {}) {
  if (input.empty()) {
    for (std::size_t i = 0; i < config.sequence * config.hidden; ++i) {
      input.push_back((static_cast<float>(i) - 9.0F) / 16.0F);
    }
  }
  const oc::Graph graph = oc::encoder_graph(config).value();
  const oc::EncoderWeights w = oc::EncoderWeights::deterministic(config);
  const std::vector<oc::TensorValue> values{{oc::TensorId{0}, input}, {oc::TensorId{1}, w.wq},
                                            {oc::TensorId{2}, w.wk},  {oc::TensorId{3}, w.wv},
                                            {oc::TensorId{4}, w.wo},  {oc::TensorId{5}, w.w1},
                                            {oc::TensorId{6}, w.w2}};
  return oc::evaluate(graph, values).value();
}

TEST_CASE("run evaluates the encoder with no files at all", "[tool][run]") {
  const Scratch scratch;
  const std::string directory = (scratch / "out").string();
  fs::create_directory(directory);
  const Run run = orvik("run --encoder -o '" + directory + "'");
  CHECK(run.status == 0);
  CHECK(run.err.empty());
  CHECK(run.out == "wrote " + directory + "/ffn_residual.npy: [32, 64]\n");
  const NpyArray result = read_array(scratch / "out" / "ffn_residual.npy");
  CHECK(result.shape == std::vector<std::uint64_t>{32, 64});
  CHECK(result.values == evaluate_encoder(oc::EncoderConfig{}).at(0));

  // An --input replaces the default input; the dimensions come from the options.
  const oc::EncoderConfig small{4, 8, 2, 16};
  std::vector<float> input(32);
  for (std::size_t i = 0; i < input.size(); ++i) {
    input[i] = static_cast<float>(i % 5) - 2.0F;
  }
  write_array(scratch / "x.npy", {4, 8}, input);
  REQUIRE(orvik("run --encoder --sequence 4 --hidden 8 --heads 2 --feed-forward 16 --input "
                "input='" +
                (scratch / "x.npy").string() + "' -o '" + directory + "/'")
              .status == 0);
  CHECK(read_array(scratch / "out" / "ffn_residual.npy").values ==
        evaluate_encoder(small, input).at(0));
}

TEST_CASE("run binds a graph file's tensors by name and writes every output", "[tool][run]") {
  const Scratch scratch;
  const std::string graph = R"({"format": "orvik-graph", "version": 1, "steps": [
    {"op": "input", "name": "x", "shape": [2, 3]},
    {"op": "weight", "name": "w", "shape": [3, 2]},
    {"op": "matmul", "name": "y", "left": "x", "right": "w"},
    {"op": "transpose", "name": "t", "input": "y", "permutation": [1, 0]},
    {"op": "output", "tensor": "t"},
    {"op": "output", "tensor": "y"},
    {"op": "output", "tensor": "t"}]})";
  std::ofstream(scratch / "g.json") << graph;
  write_array(scratch / "x.npy", {2, 3}, {1, 2, 3, 4, 5, 6});
  write_array(scratch / "w.npy", {3, 2}, {1, 0, 0, 1, 1, 1});
  const std::string files = "--input 'w=" + (scratch / "w.npy").string() +
                            "' --input 'x=" + (scratch / "x.npy").string() + "'";
  const Run run =
      shell("cd '" + (scratch / "").string() + "' && " + orvik_command() + " run g.json " + files);
  CHECK(run.status == 0);
  CHECK(run.out == "wrote t.npy: [2, 2]\nwrote y.npy: [2, 2]\n");
  CHECK(read_array(scratch / "y.npy").values == std::vector<float>{4, 5, 10, 11});
  const NpyArray t = read_array(scratch / "t.npy");
  CHECK(t.shape == std::vector<std::uint64_t>{2, 2});
  CHECK(t.values == std::vector<float>{4, 10, 5, 11});
  // The graph may come from standard input as well.
  const Run piped = orvik("run - " + files + " -o '" + (scratch / "").string() + "'", graph);
  CHECK(piped.status == 0);
}

TEST_CASE("run's errors: message, exit status, and no file written", "[tool][run]") {
  const Scratch inputs;
  const Scratch scratch;
  const std::string graph_file = (inputs / "g.json").string();
  std::ofstream(graph_file) << R"({"format": "orvik-graph", "version": 1, "steps": [
    {"op": "input", "name": "x", "shape": [2, 3]},
    {"op": "weight", "name": "w", "shape": [3, 2]},
    {"op": "matmul", "name": "y", "left": "x", "right": "w"},
    {"op": "output", "tensor": "y"}]})";
  std::ofstream(inputs / "evil.json") << R"({"format": "orvik-graph", "version": 1, "steps": [
    {"op": "input", "name": "../x", "shape": [1]}, {"op": "output", "tensor": "../x"}]})";
  write_array(inputs / "x.npy", {2, 3}, {1, 2, 3, 4, 5, 6});
  write_array(inputs / "w.npy", {3, 2}, {1, 2, 3, 4, 5, 6});
  write_array(inputs / "y.npy", {2, 2}, {1, 2, 3, 4});
  write_array(inputs / "one.npy", {1}, {1});
  std::ofstream(inputs / "text.npy") << "x,y\n1,2\n";
  const auto file = [&](const std::string& name) { return "'" + (inputs / name).string() + "'"; };
  const std::string x = " --input x=" + file("x.npy");
  const std::string w = " --input w=" + file("w.npy");
  const std::string out = " -o '" + (scratch / "").string() + "'";
  struct Case {
    std::string arguments;
    int status;
    std::string error;
  };
  const std::vector<Case> cases{
      {"run " + graph_file + x + out, 1,
       "orvik: error: 1 tensor has no value; bind it with --input NAME=FILE (.npy or .pb):\n"
       "  w [3, 2]\n"},
      {"run " + graph_file + x + x + w + out, 1, "orvik: error: tensor x is bound more than once"},
      {"run " + graph_file + x + w + " --input y=" + file("y.npy") + out, 1,
       "orvik: error: tensor y is computed, not bound"},
      {"run " + graph_file + x + " --input z=" + file("w.npy") + out, 2,
       "orvik: error: --input z=" + (inputs / "w.npy").string() + ": no tensor is named z"},
      {"run " + graph_file + " --input x" + out, 2, "orvik: error: --input x is not NAME=FILE"},
      {"run " + graph_file + " --input =x.npy" + out, 2,
       "orvik: error: --input =x.npy is not NAME=FILE"},
      {"run " + graph_file + " --input x=" + file("none.npy") + out, 2,
       "orvik: error: cannot read " + (inputs / "none.npy").string() +
           ": no such file or directory"},
      {"run --encoder --sequence 2 --hidden 3 --heads 1 --input input=" + file("x.npy") +
           " --max-input-bytes 100" + out,
       2,
       "orvik: error: " + (inputs / "x.npy").string() + " is larger than the limit of 100 bytes"},
      {"run " + graph_file + " --input x=" + file("text.npy") + out, 2,
       "orvik: error: " + (inputs / "text.npy").string() + ": not a .npy file"},
      {"run " + graph_file + " --input x=" + file("w.npy") + out, 2,
       "orvik: error: " + (inputs / "w.npy").string() +
           ": shape [3, 2] is not the shape [2, 3] of tensor x"},
      {"run " + file("evil.json") + " --input ../x=" + file("one.npy") + out, 2,
       "orvik: error: output tensor \"../x\" cannot be a file name"},
      {"run --encoder --heads 3" + out, 1, "orvik: error: invalid encoder dimensions"},
      {"run --encoder " + graph_file + out, 2,
       "orvik: error: exactly 1 option from [GRAPH,--encoder]"},
      {"run " + graph_file + x + w + " -o '" + (scratch / "missing" / "y").string() + "'", 2,
       "orvik: error: cannot create directory " + (scratch / "missing" / "y").string() + " in " +
           (scratch / "missing").string() + ": no such file or directory\n"},
  };
  for (const Case& c : cases) {
    INFO(c.arguments);
    const Run run = orvik(c.arguments);
    CHECK(run.status == c.status);
    CHECK(run.err.rfind(c.error, 0) == 0);
    CHECK(run.out.empty());
    CHECK(scratch.entries() == 0);
  }
  // An output never replaces a file the command reads: here y.npy, bound as x's values.
  write_array(scratch / "y.npy", {2, 3}, {1, 2, 3, 4, 5, 6});
  const Run clobber =
      orvik("run " + graph_file + " --input x='" + (scratch / "y.npy").string() + "'" + w + out);
  CHECK(clobber.status == 2);
  CHECK(clobber.err == "orvik: error: -o " + (scratch / "y.npy").string() +
                           " would overwrite the value file " + (scratch / "y.npy").string() +
                           "\n");
  CHECK(read_array(scratch / "y.npy").shape == std::vector<std::uint64_t>{2, 3});
}

TEST_CASE("run refuses names that are not one tensor or not a file name", "[tool][run]") {
  // Graphs that no graph file can hold, handed to the command in process.
  const Scratch scratch;
  write_array(scratch / "a.npy", {2}, {1, 2});
  oc::Graph graph;
  const oc::TensorId a = graph.input("a", {2});
  graph.input("a", {2});
  graph.mark_output(oc::Result<oc::TensorId>(graph.gelu("g", a)).value());
  RunRequest request;
  request.inputs = {"a=" + (scratch / "a.npy").string()};
  request.directory = scratch / "";
  // The failure a command ends with: its exit status and message.
  const auto failure_of = [&](const oc::Graph& g) {
    const ToolResult<RunFiles> outcome = run_graph(g, request);
    REQUIRE_FALSE(outcome);
    return std::pair(outcome.failure().exit_status, outcome.failure().message);
  };
  CHECK(failure_of(graph) ==
        std::pair(2, "orvik: error: --input a=" + (scratch / "a.npy").string() +
                         ": 2 tensors are named a"));

  oc::Graph twins;
  const oc::TensorId b = twins.input("b", {2});
  twins.mark_output(twins.gelu("y", b).value());
  twins.mark_output(twins.gelu("y", b).value());
  request.inputs = {"b=" + (scratch / "a.npy").string()};
  CHECK(failure_of(twins) == std::pair(2, std::string("orvik: error: two outputs are named y")));

  request.inputs = {};
  for (const char* name : {"", ".", "..", "a/b", "/x"}) {
    oc::Graph unnamed;
    unnamed.mark_output(unnamed.input(name, {2}));
    CHECK(failure_of(unnamed) == std::pair(2, std::string("orvik: error: output tensor \"") + name +
                                                  "\" cannot be a file name"));
  }
  CHECK(scratch.entries() == 1);
}

} // namespace
} // namespace orvik_tool::testing
