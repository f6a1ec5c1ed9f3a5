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
/// in any grouping; the cube may also be written as x * (x * x) or (x * x) * x.
struct GeluPattern {
  std::string input;
  std::string output;
};

/// The layer normalisation of exporters before opset 17: ReduceMean, Sub, Pow 2, ReduceMean,
/// Add epsilon, Sqrt, Div, optionally followed by a Mul by a constant scale and an Add of a
/// constant bias. The axes must be the trailing ones, which is checked when the input's rank is
/// known, at conversion.
struct LayerNormPattern {
  std::string input;
  /// The axes of both ReduceMean nodes, as written.
  std::vector<std::int64_t> axes;
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

/// Converts a fusion in place of its last node. A layer normalisation whose axes turn out not to
/// be the trailing ones of its input is refused as its first node, a ReduceMean, is alone:
/// "unsupported operator".
Result<void> convert_fusion(Conversion& conversion, const onnx::GraphProto& graph,
                            const Fusion& fusion);

} // namespace orvik_compiler::onnx_import
