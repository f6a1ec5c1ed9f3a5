#pragma once

// Element-wise operations of two operands whose shapes broadcast by ONNX's rules: a constant is
// expanded to the common shape at import, a tensor of the graph by a Broadcast operation.

#include "conversion.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace orvik_compiler::onnx_import {

enum class Elementwise { Add, Sub, Mul, Div, Pow, Maximum, Minimum };

/// The shape both shapes broadcast to by ONNX's (NumPy's) rules, aligned at the last axis;
/// nothing when they do not broadcast.
std::optional<std::vector<std::uint64_t>> broadcast_shape(const std::vector<std::uint64_t>& a,
                                                          const std::vector<std::uint64_t>& b);

/// Fills `target`, of shape `to` (at least one axis), with the values of `source` (of shape
/// `from`) repeated along the axes where `from` has extent 1 or no axis. Row by row: each row of
/// the last axis is a run of the source or one value repeated.
void broadcast_values(std::span<const float> source, const std::vector<std::uint64_t>& from,
                      const std::vector<std::uint64_t>& to, std::span<float> target);

/// Counts `bytes` that a constant made at import takes against the expansion limit; past it, an
/// error of the node saying that `what` needs them.
Result<void> reserve_expansion(Conversion& conversion, const Node& node, const std::string& what,
                               std::uint64_t bytes);

/// A float value under `shape`, which its shape broadcasts to: a constant expanded as a weight
/// of its own (within the expansion limit), a graph tensor with as many elements reshaped, any
/// other graph tensor repeated by a Broadcast operation. Errors: a value that is not float.
Result<Value> broadcast_value(Conversion& conversion, const Node& node, const Value& value,
                              const std::vector<std::uint64_t>& shape);

/// The operation `kind` of `left` and `right`, in that order, named `name`. Both must be float.
/// Operands of the common shape are used as they are; a constant of another shape is first
/// expanded to it as a weight of its own (within the expansion limit), a graph tensor with as
/// many elements reshaped, any other graph tensor repeated by a Broadcast operation.
Result<TensorId> elementwise(Conversion& conversion, const Node& node, Elementwise kind, Value left,
                             Value right, const std::string& name);

} // namespace orvik_compiler::onnx_import
