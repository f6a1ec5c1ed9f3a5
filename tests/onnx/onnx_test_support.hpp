#pragma once

// Helpers of the importer's tests: models written to scratch files, and a one-line-per-op
// description of a graph to compare with.

#include "test_support.hpp"
#include "testing/onnx/model_builder.hpp"

#include <orvik_compiler/onnx.hpp>

#include <catch2/catch.hpp>

#include <atomic>
#include <filesystem>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace orvik_compiler::testing {

/// A directory for one test case's files, removed afterwards.
class ScratchDirectory {
public:
  ScratchDirectory()
      : path_(std::filesystem::temp_directory_path() /
              ("orvik-onnx-test-" + std::to_string(::getpid()) + "-" + std::to_string(next()))) {
    std::filesystem::create_directories(path_);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  ~ScratchDirectory() { std::filesystem::remove_all(path_); }

  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
  static int next() {
    static std::atomic<int> counter{0};
    return counter++;
  }
  std::filesystem::path path_;
};

/// Writes the model to a scratch file "model.onnx" and imports it.
inline Result<OnnxModel> import_built(const ModelBuilder& model,
                                      const OnnxImportOptions& options = {}) {
  const ScratchDirectory scratch;
  model.save(scratch / "model.onnx");
  return import_onnx(scratch / "model.onnx", options);
}

/// The error of importing the model, with the scratch file's path replaced by "model.onnx".
inline std::string import_error(const ModelBuilder& model, const OnnxImportOptions& options = {}) {
  const ScratchDirectory scratch;
  model.save(scratch / "model.onnx");
  const Result<OnnxModel> imported = import_onnx(scratch / "model.onnx", options);
  REQUIRE_FALSE(imported.has_value());
  std::string message = imported.error().message;
  const std::string path = (scratch / "model.onnx").string();
  REQUIRE(message.rfind(path + ": ", 0) == 0);
  return "model.onnx" + message.substr(path.size());
}

/// One line per operation, "output = Kind(input, ...)" with the tensors' names and the kind's
/// debug text, then one line per graph output, "-> name [shape]".
inline std::vector<std::string> describe(const Graph& graph) {
  std::vector<std::string> lines;
  for (const Op& op : graph.ops) {
    std::ostringstream line;
    line << graph.tensors[op.output.index].name << " = " << op.kind << "(";
    for (std::size_t i = 0; i < op.inputs.size(); ++i) {
      line << (i == 0 ? "" : ", ") << graph.tensors[op.inputs[i].index].name;
    }
    line << ")";
    lines.push_back(line.str());
  }
  for (const TensorId output : graph.outputs) {
    std::ostringstream line;
    line << "-> " << graph.tensors[output.index].name << " [";
    const std::vector<std::uint64_t>& shape = graph.tensors[output.index].shape;
    for (std::size_t i = 0; i < shape.size(); ++i) {
      line << (i == 0 ? "" : ", ") << shape[i];
    }
    line << "]";
    lines.push_back(line.str());
  }
  return lines;
}

/// The values of the weight tensor named `name`.
inline std::vector<float> weight_values(const OnnxModel& model, const std::string& name) {
  for (const WeightValues& weight : model.weights) {
    if (model.graph.tensors[weight.tensor.index].name == name) {
      return {weight.values().begin(), weight.values().end()};
    }
  }
  FAIL("no weight named " << name);
  return {};
}

} // namespace orvik_compiler::testing
