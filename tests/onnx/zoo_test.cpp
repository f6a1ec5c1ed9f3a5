// The model zoo of tests/onnx/zoo/: models exported by a training framework, with the inputs they
// were run on and the framework's outputs. Every file of imports.txt is imported (symbolic
// dimensions from the manifest), compiled with the default options and with 1472 tiles, both
// schedules verified, and evaluated on the committed inputs, its outputs compared with the
// framework's. Every other file of the manifest must be refused with a message; one that imports
// fails the test too, so that the list follows the importer.

#include "orvik/npy_file.hpp"

#include <orvik_compiler/onnx.hpp>
#include <orvik_compiler/orvik_compiler.hpp>

#include <catch2/catch.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
namespace oc = orvik_compiler;

const fs::path zoo_directory = ORVIK_ZOO_DIR;

constexpr double relative_tolerance = 1e-4;
constexpr double absolute_tolerance = 1e-5;

std::string read_bytes(const fs::path& file) {
  std::ifstream stream(file, std::ios::binary);
  REQUIRE(stream);
  std::ostringstream bytes;
  bytes << stream.rdbuf();
  return bytes.str();
}

/// The file names of imports.txt: one a line, '#' starting a comment line.
std::vector<std::string> listed_imports() {
  std::vector<std::string> files;
  std::istringstream lines(read_bytes(zoo_directory / "imports.txt"));
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line[0] != '#') {
      files.push_back(line);
    }
  }
  return files;
}

/// One exported file of the manifest with what its model was run on.
struct ZooFile {
  std::string file;
  oc::OnnxImportOptions options;
  /// The model's inputs and outputs: (name, .npy file).
  std::vector<std::pair<std::string, std::string>> inputs;
  std::vector<std::pair<std::string, std::string>> outputs;
};

std::vector<ZooFile> manifest_files() {
  const nlohmann::json manifest =
      nlohmann::json::parse(read_bytes(zoo_directory / "manifest.json"));
  std::vector<ZooFile> files;
  for (const nlohmann::json& model : manifest.at("models")) {
    std::vector<std::pair<std::string, std::string>> inputs;
    std::vector<std::pair<std::string, std::string>> outputs;
    for (const nlohmann::json& input : model.at("inputs")) {
      inputs.emplace_back(input.at("name"), input.at("file"));
    }
    for (const nlohmann::json& output : model.at("outputs")) {
      outputs.emplace_back(output.at("name"), output.at("file"));
    }
    for (const nlohmann::json& entry : model.at("files")) {
      ZooFile file;
      file.file = entry.at("file");
      file.inputs = inputs;
      file.outputs = outputs;
      for (const auto& [name, extent] : entry.at("dims").items()) {
        file.options.dimensions.emplace(name, extent.get<std::uint64_t>());
      }
      files.push_back(std::move(file));
    }
  }
  return files;
}

orvik_tool::NpyArray read_array(const std::string& file) {
  orvik_tool::ToolResult<orvik_tool::NpyArray> array =
      orvik_tool::read_npy(read_bytes(zoo_directory / file), file);
  if (!array) {
    FAIL(array.failure().message);
  }
  return std::move(*array);
}

/// Whether `actual` is within the zoo's tolerance of `expected`; NaN is never.
bool within_tolerance(float actual, float expected) {
  const double difference = std::abs(static_cast<double>(actual) - static_cast<double>(expected));
  return difference <= absolute_tolerance + relative_tolerance * std::abs(expected);
}

/// The largest absolute difference, and the count of elements out of tolerance.
struct Comparison {
  double largest_difference = 0;
  std::size_t failures = 0;
};

Comparison compare(const std::vector<float>& actual, const std::vector<float>& expected) {
  Comparison comparison;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (!within_tolerance(actual[i], expected[i])) {
      ++comparison.failures;
    }
    const double difference = std::abs(static_cast<double>(actual[i]) - expected[i]);
    comparison.largest_difference =
        std::isnan(difference) ? INFINITY : std::max(comparison.largest_difference, difference);
  }
  return comparison;
}

/// The imported model's outputs on the file's committed inputs, ints bound to I32 inputs.
std::vector<oc::TensorData> evaluate_on_inputs(const oc::OnnxModel& model, const ZooFile& file) {
  std::vector<orvik_tool::NpyArray> arrays;
  arrays.reserve(file.inputs.size());
  std::vector<oc::TensorValue> values;
  for (const auto& input : file.inputs) {
    arrays.push_back(read_array(input.second));
    const auto tensor = std::find_if(
        model.graph.tensors.begin(), model.graph.tensors.end(), [&](const oc::Tensor& candidate) {
          return candidate.name == input.first && candidate.kind == oc::TensorKind::Input;
        });
    REQUIRE(tensor != model.graph.tensors.end());
    REQUIRE(tensor->shape == arrays.back().shape);
    if (tensor->dtype == oc::DType::I32) {
      values.push_back(
          {tensor->id, std::span<const std::int32_t>(
                           std::get<std::vector<std::int32_t>>(arrays.back().values))});
    } else {
      values.push_back(
          {tensor->id, std::span<const float>(std::get<std::vector<float>>(arrays.back().values))});
    }
  }
  for (const oc::WeightValues& weight : model.weights) {
    values.push_back(weight.binding());
  }
  const oc::Result<std::vector<oc::TensorData>> outputs = oc::evaluate_typed(model.graph, values);
  if (!outputs) {
    FAIL("evaluate: " << outputs.error().message);
  }
  return *outputs;
}

void compile_and_verify(const oc::Graph& graph, const oc::CompilerOptions& options) {
  INFO(options.tile_count << " tiles");
  const oc::Result<oc::Schedule> schedule = oc::compile(graph, options);
  if (!schedule) {
    FAIL("compile: " << schedule.error().message);
  }
  const oc::Result<void> verified = oc::verify_schedule(graph, options, *schedule);
  if (!verified) {
    FAIL("verify: " << verified.error().message);
  }
}

void check_listed(const ZooFile& file) {
  const oc::Result<oc::OnnxModel> model = oc::import_onnx(zoo_directory / file.file, file.options);
  if (!model) {
    FAIL("import: " << model.error().message);
  }
  compile_and_verify(model->graph, oc::CompilerOptions{});
  oc::CompilerOptions many_tiles;
  many_tiles.tile_count = 1472;
  compile_and_verify(model->graph, many_tiles);

  const std::vector<oc::TensorData> outputs = evaluate_on_inputs(*model, file);
  REQUIRE(model->output_names.size() == file.outputs.size());
  for (std::size_t i = 0; i < file.outputs.size(); ++i) {
    const auto& [name, npy] = file.outputs[i];
    INFO("output " << name);
    REQUIRE(model->output_names[i] == name);
    const orvik_tool::NpyArray expected = read_array(npy);
    REQUIRE(model->graph.tensors[model->graph.outputs[i].index].shape == expected.shape);
    const auto* actual = std::get_if<std::vector<float>>(&outputs[i]);
    REQUIRE(actual != nullptr);
    const Comparison comparison = compare(*actual, std::get<std::vector<float>>(expected.values));
    std::cout << file.file << " " << name << ": largest difference from the exporter's "
              << comparison.largest_difference << "\n";
    CHECK(comparison.failures == 0);
  }
}

} // namespace

TEST_CASE("the tolerance accepts rounding and rejects what is beyond it", "[zoo]") {
  struct Row {
    float actual;
    float expected;
    bool within;
  };
  const Row rows[] = {
      {1.0f, 1.0f, true},         {1.0001f, 1.0f, true},   {1.0003f, 1.0f, false},
      {0.000009f, 0.0f, true},    {0.00002f, 0.0f, false}, {-100.009f, -100.0f, true},
      {-100.02f, -100.0f, false}, {NAN, 1.0f, false},      {1.0f, NAN, false},
      {INFINITY, 1.0f, false},
  };
  for (const Row& row : rows) {
    INFO(row.actual << " against " << row.expected);
    CHECK(within_tolerance(row.actual, row.expected) == row.within);
  }
}

TEST_CASE("every listed zoo file imports, compiles, verifies and matches the exporter", "[zoo]") {
  const std::vector<std::string> listed = listed_imports();
  const std::vector<ZooFile> files = manifest_files();
  REQUIRE_FALSE(listed.empty());
  for (const std::string& name : listed) {
    INFO("imports.txt lists " << name);
    CHECK(std::count_if(files.begin(), files.end(),
                        [&](const ZooFile& file) { return file.file == name; }) == 1);
  }
  for (const ZooFile& file : files) {
    if (std::find(listed.begin(), listed.end(), file.file) != listed.end()) {
      DYNAMIC_SECTION(file.file) {
        check_listed(file);
      }
    }
  }
}

TEST_CASE("every other zoo file is refused with a message naming it", "[zoo]") {
  const std::vector<std::string> listed = listed_imports();
  for (const ZooFile& file : manifest_files()) {
    if (std::find(listed.begin(), listed.end(), file.file) != listed.end()) {
      continue;
    }
    DYNAMIC_SECTION(file.file) {
      const fs::path path = zoo_directory / file.file;
      const oc::Result<oc::OnnxModel> model = oc::import_onnx(path, file.options);
      INFO("a file that imports belongs in imports.txt");
      REQUIRE_FALSE(model.has_value());
      CHECK(model.error().message.starts_with(path.string() + ": "));
      std::cout << "not yet imported: " << model.error().message << "\n";
    }
  }
}
