#pragma once

// `orvik run`: evaluates a graph on the host with values bound from .npy files and writes each
// output as DIR/NAME.npy.

#include "tool_failure.hpp"

#include <orvik_compiler/encoder.hpp>
#include <orvik_compiler/graph.hpp>

#include <optional>
#include <string>
#include <vector>

namespace orvik_tool {

struct RunRequest {
  /// Set for the built-in encoder: its input and weights are bound by default, the input to the
  /// self-check's pattern (element i is (i - 9) / 16) and the weights to
  /// `EncoderWeights::deterministic`; --input values replace them.
  std::optional<orvik_compiler::EncoderConfig> encoder;
  /// The --input options, each NAME=FILE.
  std::vector<std::string> inputs;
  /// Where the outputs go.
  std::string directory = ".";
};

/// Binds the values, evaluates the graph and writes each output, all or nothing, as
/// DIR/NAME.npy; returns the report for standard output, one line per file. Fails with exit
/// status 1 for an evaluation error, and 2 for an --input that is not NAME=FILE or whose NAME
/// matches no tensor or several, a file that cannot be read or is not a .npy file of the
/// tensor's shape, an output whose name cannot be a file name or is shared by two outputs, and
/// a file that cannot be written.
ToolResult<std::string> run_graph(const orvik_compiler::Graph& graph, const RunRequest& request);

} // namespace orvik_tool
