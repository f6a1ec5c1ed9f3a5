#pragma once

// Pattern fusions: operations that exporters write out as several nodes, found by named
// matchers and converted as one. A matcher matches a pattern exactly or leaves its nodes alone:
// every value inside a pattern is read only inside it and is no graph output, and every
// constant has the value the formula gives it.

#include "conversion.hpp"

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace orvik_compiler::onnx_import {

/// The tanh form of GELU, 0.5 * x * (1 + Tanh(sqrt(2/pi) * (x + 0.044715 * Pow(x, 3)))), with
/// the operands of each Add and Mul in either order and the three factors of the outer product
/// in any grouping.
struct GeluPattern {
  std::string input;
  std::string output;
};

/// The layer normalisation of exporters before opset 17: ReduceMean, Sub, Pow 2, ReduceMean,
/// Add epsilon, Sqrt, Div over the trailing axes, optionally followed by a Mul by a constant
/// scale and an Add of a constant bias.
struct LayerNormPattern {
  std::string input;
  /// How many trailing axes are normalised.
  std::uint64_t axes = 1;
  float epsilon = 0.0F;
  /// The output of the Div, and of the Mul and the Add when the pattern has them.
  std::string normalized;
  std::string scale;
  std::string scaled;
  std::string bias;
  std::string biased;
};

struct Fusion {
  /// The nodes the pattern covers, in the model's order; the last one makes the result.
  std::vector<std::size_t> nodes;
  std::variant<GeluPattern, LayerNormPattern> pattern;
};

/// Every GELU and layer normalisation pattern of the graph, in the order of their first nodes;
/// no node belongs to two.
std::vector<Fusion> find_fusions(const onnx::GraphProto& graph);

/// Converts a fusion in place of its last node, at position `position` of the node list.
Result<void> convert_fusion(Conversion& conversion, const Fusion& fusion,
                            const onnx::NodeProto& last, std::size_t position);

} // namespace orvik_compiler::onnx_import
