// ONNX models through the orvik executable: compile, import and run, --dim, and refusals.

#include "orvik/npy_file.hpp"
#include "testing/onnx/model_builder.hpp"
#include "tool_process.hpp"

#include <catch2/catch.hpp>

#include <filesystem>
#include <fstream>

namespace orvik_tool::testing {
namespace {

using orvik_compiler::testing::float_tensor;
using orvik_compiler::testing::ModelBuilder;

/// y = x w + b with x [2, 3], the bias broadcast over the rows; the batch is symbolic when
/// `batch` names it.
ModelBuilder affine(const std::string& batch = "") {
  ModelBuilder model;
  if (batch.empty()) {
    model.input("x", {2, 3});
  } else {
    model.input("x", {batch, 3});
  }
  model.initializer("w", {3, 2}, {1, 0, 0, 1, 1, 1});
  model.initializer("b", {2}, {0.5F, -0.5F});
  model.node("MatMul", {"x", "w"}, {"h"});
  model.node("Add", {"h", "b"}, {"y"});
  return model.output("y");
}

void write(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

TEST_CASE("orvik compiles an ONNX model as it compiles the graph file it imports to", "[tool]") {
  const Scratch scratch;
  affine().save(scratch / "affine.onnx");
  const Run imported = orvik("import " + quoted((scratch / "affine.onnx").string()) + " -o " +
                             quoted((scratch / "affine.json").string()));
  REQUIRE(imported.status == 0);
  const Run from_model = orvik("compile " + quoted((scratch / "affine.onnx").string()));
  const Run from_file = orvik("compile " + quoted((scratch / "affine.json").string()));
  REQUIRE(from_model.status == 0);
  CHECK(from_model.out == from_file.out);
  CHECK(slurp(scratch / "affine.json")
            .find(R"({"op":"weight","name":"b/broadcast","shape":[2,2]})") != std::string::npos);
  // The schedule of the model verifies against the model.
  REQUIRE(orvik("compile " + quoted((scratch / "affine.onnx").string()) + " --emit json -o " +
                quoted((scratch / "schedule.json").string()))
              .status == 0);
  const Run verified = orvik("verify " + quoted((scratch / "schedule.json").string()) + " " +
                             quoted((scratch / "affine.onnx").string()));
  CHECK(verified.status == 0);
  CHECK(verified.out == "ok\n");
}

TEST_CASE("orvik runs an ONNX model with inputs from .pb and .npy files", "[tool]") {
  const Scratch scratch;
  affine().save(scratch / "affine.onnx");
  const std::vector<float> x{1, 2, 3, 4, 5, 6};
  write(scratch / "x.pb", float_tensor("x", {2, 3}, x).SerializeAsString());
  write(scratch / "x.npy", write_npy(std::vector<std::uint64_t>{2, 3}, x));
  for (const char* file : {"x.pb", "x.npy"}) {
    CAPTURE(file);
    const Run run = orvik("run " + quoted((scratch / "affine.onnx").string()) +
                          " --input x=" + quoted((scratch / file).string()) + " -o " +
                          quoted(scratch.path().string()));
    REQUIRE(run.status == 0);
    const ToolResult<NpyArray> y = read_npy(slurp(scratch / "y.npy"), "y.npy");
    REQUIRE(y);
    CHECK(y->shape == std::vector<std::uint64_t>{2, 2});
    // Rows of x times w: (x0 + x2, x1 + x2), then + (0.5, -0.5).
    CHECK(y->values == orvik_compiler::TensorData{std::vector<float>{4.5F, 4.5F, 10.5F, 10.5F}});
  }
}

TEST_CASE("symbolic dimensions take their extents from --dim", "[tool]") {
  const Scratch scratch;
  affine("batch").save(scratch / "affine.onnx");
  const std::string model = quoted((scratch / "affine.onnx").string());
  CHECK(orvik("compile " + model + " --dim batch=4").status == 0);
  const Run missing = orvik("compile " + model);
  CHECK(missing.status == 2);
  CHECK(missing.err == "orvik: error: " + (scratch / "affine.onnx").string() +
                           ": input \"x\": symbolic dimension \"batch\" has no value\n");
  const std::pair<const char*, const char*> malformed[] = {
      {"batch", "--dim batch is not NAME=N with N a positive decimal number"},
      {"batch=0", "--dim batch=0 is not NAME=N with N a positive decimal number"},
      {"=4", "--dim =4 is not NAME=N with N a positive decimal number"},
      {"batch=4x", "--dim batch=4x is not NAME=N with N a positive decimal number"}};
  for (const auto& [dim, message] : malformed) {
    CAPTURE(dim);
    const Run run = orvik("import " + model + " --dim " + dim);
    CHECK(run.status == 2);
    CHECK(run.err == std::string("orvik: error: ") + message + "\n");
  }
  const Run twice = orvik("import " + model + " --dim batch=2 --dim batch=3");
  CHECK(twice.err == "orvik: error: --dim gives batch twice\n");
  const Run graph_file = orvik("graph --encoder -o " + quoted((scratch / "g.json").string()));
  REQUIRE(graph_file.status == 0);
  const Run not_a_model = orvik("compile " + quoted((scratch / "g.json").string()) + " --dim a=1");
  CHECK(not_a_model.status == 2);
  CHECK(not_a_model.err == "orvik: error: --dim applies to ONNX models (.onnx) only\n");
}

TEST_CASE("a model that cannot be imported is refused with the importer's message", "[tool]") {
  const Scratch scratch;
  ModelBuilder model = affine();
  model.node("Hardmax", {"y"}, {"z"}, "act_hardmax");
  model.output("z");
  model.save(scratch / "hardmax.onnx");
  for (const char* command : {"compile", "import", "run"}) {
    CAPTURE(command);
    const Run run = orvik(std::string(command) + " " + quoted((scratch / "hardmax.onnx").string()));
    CHECK(run.status == 2);
    CHECK(run.err == "orvik: error: " + (scratch / "hardmax.onnx").string() +
                         ": node 2 \"act_hardmax\" (Hardmax): unsupported operator\n");
    CHECK(run.out.empty());
  }
  // A model file that cannot be read is reported as every other input is.
  std::filesystem::create_directory(scratch / "dir.onnx");
  const std::pair<std::string, std::string> unreadable[] = {
      {(scratch / "missing.onnx").string(), "no such file or directory"},
      {(scratch / "dir.onnx").string(), "is a directory"}};
  for (const auto& [path, reason] : unreadable) {
    for (const char* command : {"compile", "import", "run"}) {
      CAPTURE(command, path);
      const Run run = orvik(std::string(command) + " " + quoted(path));
      CHECK(run.status == 2);
      CHECK(run.err == "orvik: error: cannot read " + path + ": " + reason + "\n");
    }
  }
  const Run not_onnx = orvik("import " + quoted((scratch / "relu.json").string()));
  CHECK(not_onnx.status == 2);
  CHECK(not_onnx.err ==
        "orvik: error: " + (scratch / "relu.json").string() + " is not an ONNX model (.onnx)\n");
}

} // namespace
} // namespace orvik_tool::testing
