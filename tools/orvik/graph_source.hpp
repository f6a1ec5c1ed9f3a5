#pragma once

// Where a command takes its graph from: a graph file, an ONNX model or the built-in encoder.

#include "input_file.hpp"
#include "output_files.hpp"
#include "resource_budget.hpp"
#include "tool_failure.hpp"

#include <orvik_compiler/encoder.hpp>
#include <orvik_compiler/graph.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace orvik_tool {

/// The --encoder flag and the encoder's dimensions.
struct EncoderOptions {
  bool requested = false;
  orvik_compiler::EncoderConfig config;
};

/// A command's graph: the built-in encoder when requested, otherwise the ONNX model (a path
/// ending in ".onnx") or the graph file at `path`, "-" for standard input.
struct GraphSource {
  std::string path;
  EncoderOptions encoder;
  /// The --dim options, NAME=N, for an ONNX model only.
  std::vector<std::string> dims;
};

/// How much of a graph file a command reads, and the memory its graph may take.
struct GraphLimits {
  std::uint64_t max_input_bytes = default_max_input_bytes;
  std::uint64_t memory_budget = default_memory_budget;
};

/// The source's graph, a graph file read up to `limits.max_input_bytes` into a graph within
/// `limits.memory_budget`. --dim options for anything but an ONNX model are a usage error; the
/// encoder's dimensions that `encoder_graph` refuses, and a graph file whose graph would pass
/// the budget, fail with the compile status; a file that cannot be read or imported, with the
/// usage status.
ToolResult<orvik_compiler::Graph> load_graph(const GraphSource& source, GraphLimits limits);

/// The file the source reads, none for the encoder, so that no output replaces it.
std::vector<InputFile> source_files(const GraphSource& source);

/// Writes the source's graph as a graph file to `output`, "-" for standard output.
ToolResult<void> write_graph(const GraphSource& source, const std::string& output);

} // namespace orvik_tool
