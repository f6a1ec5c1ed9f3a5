// Loading a command's graph from wherever it comes, and writing it as a graph file.

#include "graph_source.hpp"

#include "graph_file.hpp"
#include "input_file.hpp"
#include "onnx_model.hpp"

#include <utility>

namespace orvik_tool {

ToolResult<orvik_compiler::Graph> load_graph(const GraphSource& source, GraphLimits limits) {
  const bool model = !source.encoder.requested && is_onnx_model(source.path);
  if (!source.dims.empty() && !model) {
    return tool_error(exit_usage_error, "--dim applies to ONNX models (.onnx) only");
  }
  if (model) {
    ToolResult<orvik_compiler::OnnxModel> imported = import_model(source.path, source.dims);
    if (!imported) {
      return imported.failure();
    }
    return std::move(imported->graph);
  }
  if (source.encoder.requested) {
    orvik_compiler::Result<orvik_compiler::Graph> graph =
        orvik_compiler::encoder_graph(source.encoder.config);
    if (!graph) {
      return tool_error(exit_compile_error, graph.error().message);
    }
    return std::move(*graph);
  }
  const ToolResult<std::string> text = read_input_file(source.path, limits.max_input_bytes);
  if (!text) {
    return text.failure();
  }
  return read_graph_file(*text, input_name(source.path), limits.memory_budget);
}

std::vector<InputFile> source_files(const GraphSource& source) {
  if (source.encoder.requested) {
    return {};
  }
  return {{is_onnx_model(source.path) ? "ONNX model" : "graph file", source.path}};
}

ToolResult<void> write_graph(const GraphSource& source, const std::string& output) {
  const ToolResult<orvik_compiler::Graph> loaded = load_graph(source, GraphLimits{});
  if (!loaded) {
    return loaded.failure();
  }
  ToolResult<std::string> written = write_graph_file(*loaded);
  if (!written) {
    return written.failure();
  }
  return write_all_or_nothing({{output, std::move(*written), "-o"}}, source_files(source));
}

} // namespace orvik_tool
