// Bytes become an ONNX model file for the importer. It must refuse or import, never crash or
// hang; a model it imports must be a valid graph whose weights fill their tensors, whose outputs
// carry the model's output names (an output listed again is a copy of its first listing), and
// which the tool can write as a graph file and read back.

#include "finding.hpp"
#include "orvik/graph_file.hpp"

#include <orvik_compiler/onnx.hpp>

#include <optional>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <variant>
#include <vector>

namespace {

/// An anonymous in-memory file holding the bytes, so that the importer reads them through its
/// ordinary path.
class MemoryFile {
public:
  MemoryFile(const std::uint8_t* data, std::size_t size)
      : descriptor_(::memfd_create("model.onnx", MFD_CLOEXEC)) {
    if (descriptor_ < 0 || ::write(descriptor_, data, size) != static_cast<ssize_t>(size)) {
      finding("cannot make the in-memory model file");
    }
  }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
  ~MemoryFile() { ::close(descriptor_); }

  std::string path() const { return "/proc/self/fd/" + std::to_string(descriptor_); }

private:
  int descriptor_;
};

/// The graph with every name left empty.
orvik_compiler::Graph unnamed(orvik_compiler::Graph graph) {
  for (orvik_compiler::Tensor& tensor : graph.tensors) {
    tensor.name.clear();
  }
  for (orvik_compiler::Op& op : graph.ops) {
    op.name.clear();
  }
  return graph;
}

/// Whether output `i` lists a value the model listed as an output before, and is a copy of that
/// earlier output.
bool repeats_earlier_output(const orvik_compiler::OnnxModel& model, std::size_t i) {
  const orvik_compiler::Graph& graph = model.graph;
  const std::optional<orvik_compiler::OpId> producer =
      graph.tensors[graph.outputs[i].index].producer;
  if (!producer || !std::holds_alternative<orvik_compiler::OpKind::Reshape>(
                       graph.ops[producer->index].kind.value)) {
    return false;
  }
  for (std::size_t earlier = 0; earlier < i; ++earlier) {
    if (model.output_names[earlier] == model.output_names[i]) {
      return graph.ops[producer->index].inputs == std::vector{graph.outputs[earlier]};
    }
  }
  return false;
}

void check(const orvik_compiler::OnnxModel& model) {
  const orvik_compiler::Graph& graph = model.graph;
  if (!graph.validate()) {
    finding("an imported graph does not validate");
  }
  if (model.output_names.size() != graph.outputs.size()) {
    finding("output names and outputs differ in number");
  }
  for (std::size_t i = 0; i < graph.outputs.size(); ++i) {
    const orvik_compiler::Tensor& output = graph.tensors[graph.outputs[i].index];
    if (output.name != model.output_names[i] && !repeats_earlier_output(model, i)) {
      finding("an output tensor does not carry its output's name");
    }
  }
  for (std::size_t i = 0; i < model.weights.size(); ++i) {
    const orvik_compiler::TensorId tensor = model.weights[i].tensor;
    if (tensor.index >= graph.tensors.size() ||
        (i > 0 && model.weights[i - 1].tensor.index >= tensor.index)) {
      finding("weights out of tensor order");
    }
    if (model.weights[i].bytes.size() != 4 * graph.tensors[tensor.index].elements() ||
        model.weights[i].dtype != graph.tensors[tensor.index].dtype) {
      finding("a weight's values do not fill its tensor");
    }
  }
  const orvik_tool::ToolResult<std::string> written = orvik_tool::write_graph_file(graph);
  if (!written) {
    finding("an imported graph cannot be written as a graph file: " + written.failure().message);
  }
  const orvik_tool::ToolResult<orvik_compiler::Graph> reread =
      orvik_tool::read_graph_file(*written, "imported.json");
  // Names that are not UTF-8, which protobuf lets through, come back with replacement characters.
  if (!reread || unnamed(*reread) != unnamed(graph)) {
    finding("an imported graph written as a graph file reads as another graph");
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const MemoryFile file(data, size);
  orvik_compiler::OnnxImportOptions options;
  options.dimensions = {{"batch", 2}, {"sequence", 3}, {"N", 4}};
  // Small enough that no input can make an iteration slow through the broadcasts alone.
  options.expansion_limit = std::uint64_t{16} << 20U;
  const orvik_compiler::Result<orvik_compiler::OnnxModel> model =
      orvik_compiler::import_onnx(file.path(), options);
  if (!model) {
    if (model.error().message.rfind(file.path() + ": ", 0) != 0) {
      finding("an import error that does not start with the file's path");
    }
    return 0;
  }
  check(*model);
  return 0;
}
