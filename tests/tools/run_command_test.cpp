// `orvik run` as a user runs it: values bound by name from .npy files, outputs written as
// .npy files, and every refusal with its message and exit status.

#include "orvik/npy_file.hpp"
#include "orvik/run_graph.hpp"
#include "tool_process.hpp"

#include <orvik_compiler/orvik_compiler.hpp>

#include <catch2/catch.hpp>
#include <onnx/onnx_pb.h>

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
  CHECK(result.values == oc::TensorData{evaluate_encoder(oc::EncoderConfig{}).at(0)});

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
        oc::TensorData{evaluate_encoder(small, input).at(0)});
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
  CHECK(read_array(scratch / "y.npy").values == oc::TensorData{std::vector<float>{4, 5, 10, 11}});
  const NpyArray t = read_array(scratch / "t.npy");
  CHECK(t.shape == std::vector<std::uint64_t>{2, 2});
  CHECK(t.values == oc::TensorData{std::vector<float>{4, 10, 5, 11}});
  // The graph may come from standard input as well.
  const Run piped = orvik("run - " + files + " -o '" + (scratch / "").string() + "'", graph);
  CHECK(piped.status == 0);
}

/// The bytes of a .npy file of 64-bit integers, as NumPy saves integer arrays by default.
std::string int64_npy(const std::vector<std::int64_t>& values) {
  std::string header = "{'descr': '<i8', 'fortran_order': False, 'shape': (" +
                       std::to_string(values.size()) + ",), }";
  header += std::string(64 - (10 + header.size() + 1) % 64, ' ') + "\n";
  std::string bytes = std::string("\x93NUMPY\x01\x00", 8);
  bytes.push_back(static_cast<char>(header.size()));
  bytes.push_back(0);
  bytes += header;
  for (const std::int64_t value : values) {
    for (unsigned shift = 0; shift < 64; shift += 8) {
      bytes.push_back(static_cast<char>((static_cast<std::uint64_t>(value) >> shift) & 0xFFU));
    }
  }
  return bytes;
}

/// An INT64 tensor file of `values`, in the typed field.
std::string int64_pb(const std::vector<std::int64_t>& values) {
  onnx::TensorProto tensor;
  tensor.set_data_type(onnx::TensorProto::INT64);
  tensor.add_dims(static_cast<std::int64_t>(values.size()));
  for (const std::int64_t value : values) {
    tensor.add_int64_data(value);
  }
  return tensor.SerializeAsString();
}

TEST_CASE("run binds integer ids, gathers with them and writes I32 outputs as int32",
          "[tool][run]") {
  const Scratch scratch;
  std::ofstream(scratch / "g.json") << R"({"format": "orvik-graph", "version": 1, "steps": [
    {"op": "input", "name": "ids", "shape": [3], "dtype": "i32"},
    {"op": "weight", "name": "table", "shape": [4, 2]},
    {"op": "gather", "name": "rows", "table": "table", "indices": "ids"},
    {"op": "reduce_sum", "name": "sums", "input": "rows", "axis": 1},
    {"op": "cast", "name": "whole", "input": "sums", "dtype": "i32"},
    {"op": "output", "tensor": "rows"},
    {"op": "output", "tensor": "whole"}]})";
  write_array(scratch / "table.npy", {4, 2}, {0.5F, 1, 2.5F, 3, 4.5F, 5, 6.5F, 7});
  const std::vector<std::int32_t> ids{3, 0, 2};
  std::ofstream(scratch / "ids.npy", std::ios::binary)
      << write_npy(std::vector<std::uint64_t>{3}, ids);
  std::ofstream(scratch / "ids64.npy", std::ios::binary) << int64_npy({3, 0, 2});
  std::ofstream(scratch / "ids64.pb", std::ios::binary) << int64_pb({3, 0, 2});
  // int32 and int64 files, .npy and .pb, bind the same ids.
  for (const char* file : {"ids.npy", "ids64.npy", "ids64.pb"}) {
    INFO(file);
    const Run run = shell("cd " + quoted(scratch.path().string()) + " && " + orvik_command() +
                          " run g.json --input table=table.npy --input ids=" + file);
    CHECK(run.status == 0);
    CHECK(run.err.empty());
    CHECK(run.out == "wrote rows.npy: [3, 2]\nwrote whole.npy: [3, 1]\n");
    CHECK(read_array(scratch / "rows.npy").values ==
          oc::TensorData{std::vector<float>{6.5F, 7, 0.5F, 1, 4.5F, 5}});
    // 13.5, 1.5 and 9.5 truncated toward zero, in a file of '<i4'.
    const std::string whole = slurp(scratch / "whole.npy");
    CHECK(whole.find("'descr': '<i4'") != std::string::npos);
    CHECK(read_array(scratch / "whole.npy").values ==
          oc::TensorData{std::vector<std::int32_t>{13, 1, 9}});
  }
}

TEST_CASE("run refuses integer data of the wrong type or range, naming file and tensor",
          "[tool][run]") {
  const Scratch inputs;
  const Scratch scratch;
  std::ofstream(inputs / "g.json") << R"({"format": "orvik-graph", "version": 1, "steps": [
    {"op": "input", "name": "ids", "shape": [4], "dtype": "i32"},
    {"op": "weight", "name": "table", "shape": [4, 2]},
    {"op": "gather", "name": "rows", "table": "table", "indices": "ids"},
    {"op": "output", "tensor": "rows"}]})";
  write_array(inputs / "table.npy", {4, 2}, std::vector<float>(8));
  write_array(inputs / "floats.npy", {4}, {0, 1, 2, 3});
  std::ofstream(inputs / "ints.npy", std::ios::binary)
      << write_npy(std::vector<std::uint64_t>{4, 2}, std::vector<std::int32_t>(8));
  std::ofstream(inputs / "big.npy", std::ios::binary) << int64_npy({0, 1, 2, 4294967296});
  std::ofstream(inputs / "big.pb", std::ios::binary) << int64_pb({-2147483649, 0, 0, 0});
  std::ofstream(inputs / "far.npy", std::ios::binary)
      << write_npy(std::vector<std::uint64_t>{4}, std::vector<std::int32_t>{0, 1, 4, -1});
  const auto path = [&](const std::string& name) { return (inputs / name).string(); };
  const auto bind = [&](const std::string& table, const std::string& ids) {
    return "run " + quoted(path("g.json")) + " --input table=" + quoted(path(table)) +
           " --input ids=" + quoted(path(ids)) + " -o " + quoted(scratch.path().string());
  };
  struct Case {
    std::string arguments;
    int status;
    std::string error;
  };
  const std::vector<Case> cases{
      {bind("table.npy", "floats.npy"), 2,
       path("floats.npy") + ": float values cannot be bound to tensor ids, which is I32"},
      {bind("ints.npy", "far.npy"), 2,
       path("ints.npy") + ": integer values cannot be bound to tensor table, which is F32"},
      {bind("table.npy", "big.npy"), 2,
       path("big.npy") + ": value 4294967296 at index 3 does not fit int32"},
      {bind("table.npy", "big.pb"), 2,
       path("big.pb") + ": value -2147483649 at index 0 does not fit int32"},
      // Values in range for int32 but not for the table are the evaluation's to refuse.
      {bind("table.npy", "far.npy"), 1, "rows: index 4 is outside [0, 4)"},
  };
  for (const Case& c : cases) {
    INFO(c.arguments);
    const Run run = orvik(c.arguments);
    CHECK(run.status == c.status);
    CHECK(run.err == "orvik: error: " + c.error + "\n");
    CHECK(run.out.empty());
    CHECK(scratch.entries() == 0);
  }
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
  {
    // x.npy with a NUL inside its element type, the header's length unchanged.
    std::ifstream source(inputs / "x.npy", std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(source)), std::istreambuf_iterator<char>());
    const std::size_t type = bytes.find("'<f4', ");
    REQUIRE(type != std::string::npos);
    bytes.replace(type, 7, std::string("'<f4\0',", 7));
    std::ofstream(inputs / "nul.npy", std::ios::binary) << bytes;
  }
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
      {"run " + graph_file + w + " --input x=" + file("nul.npy") + out, 2,
       "orvik: error: " + (inputs / "nul.npy").string() + ": element type '<f4\\0' is not"},
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
  // Names that would not print as themselves in a listing or a terminal are refused, the
  // message showing them escaped.
  const std::pair<std::string, std::string> unprintable[] = {
      {"c\nnewline\x1b[2J", "\"c\\nnewline\\u{1b}[2J\""},
      {std::string("nul\0x", 5), "\"nul\\0x\""},
      {"bad\xff", "\"bad\\xff\""},
      {"tab\tname", "\"tab\\tname\""}};
  for (const auto& [name, shown] : unprintable) {
    oc::Graph graph_of_name;
    graph_of_name.mark_output(graph_of_name.input(name, {2}));
    CHECK(failure_of(graph_of_name) ==
          std::pair(2, "orvik: error: output tensor " + shown + " cannot be a file name"));
  }
  CHECK(scratch.entries() == 1);
}

} // namespace
} // namespace orvik_tool::testing
