#pragma once

// The work of `orvik run`: evaluates a graph on the host with values bound from .npy files or
// ONNX tensor files (.pb) and writes each output as DIR/NAME.npy.

#include "input_file.hpp"
#include "output_files.hpp"
#include "resource_budget.hpp"
#include "tool_failure.hpp"

#include <orvik_compiler/encoder.hpp>
#include <orvik_compiler/evaluate.hpp>
#include <orvik_compiler/graph.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orvik_tool {

struct RunRequest {
  /// Set for the built-in encoder: its input and weights are bound by default, the input to the
  /// self-check's pattern (element i is (i - 9) / 16) and the weights to
  /// `EncoderWeights::deterministic`; --input values replace them.
  std::optional<orvik_compiler::EncoderConfig> encoder;
  /// Values bound by default too, such as an imported model's weights; --input values replace
  /// them. Their data must stay alive during the call.
  std::vector<orvik_compiler::TensorValue> values;
  /// The --input options, each NAME=FILE, FILE a .npy file or an ONNX tensor file (.pb): floats
  /// for an F32 tensor, 32-bit integers or 64-bit ones that fit 32 bits for an I32 tensor.
  std::vector<std::string> inputs;
  /// Where the outputs go; `write_all_or_nothing` makes it when it is missing.
  std::string directory = ".";
  /// The most bytes read of each value file.
  std::uint64_t max_input_bytes = default_max_input_bytes;
  /// The most bytes of memory that the run may be estimated to need.
  std::uint64_t memory_budget = default_memory_budget;
};

/// What the command writes, all or nothing: each output as DIR/NAME.npy (a tensor marked twice
/// once) and a line per file for standard output; and the .npy files it read, which no output
/// may replace.
struct RunFiles {
  std::vector<OutputFile> outputs;
  std::vector<InputFile> inputs;
};

/// What running `graph` would hold, estimated from the graph before any value is read or made:
/// "graph", the graph itself as `graph_memory` counts it; "values", those of every tensor that the
/// evaluation reads without computing it (the encoder's, a model's weights, the --input files');
/// "evaluation", the bound of the evaluation's own memory; "outputs", the .npy files, all held
/// until they are written, and the copy of the values that making one takes. The files read, each
/// at most `max_input_bytes`, are not counted.
std::vector<MemoryUse> run_memory_uses(const orvik_compiler::Graph& graph);

/// Reads the --input files, binds the values and evaluates the graph; outputs of I32 tensors are
/// written as int32 .npy files. A graph whose `run_memory_uses` pass the memory budget is
/// refused first, with the compile status and `check_memory_budget`'s message. Fails with exit
/// status 1 for an evaluation error and for tensors
/// that the evaluation needs and that have no value, all of them listed with their shapes, one a
/// line; and 2 for an --input that is not NAME=FILE or whose NAME matches no tensor or several, a
/// file that cannot be read or is not a .npy or ONNX tensor file of the tensor's shape and type
/// ("FILE: float values cannot be bound to tensor ids, which is I32"), and an output whose name
/// cannot be a file name or is shared by two outputs.
ToolResult<RunFiles> run_graph(const orvik_compiler::Graph& graph, const RunRequest& request);

} // namespace orvik_tool
