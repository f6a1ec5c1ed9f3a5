#pragma once

// The host interpreter as plain loops: every kind computed element by element over
// multi-indices, in the documented order, with none of the library's kernels. It is the oracle
// that `evaluate_typed` must match bit for bit on any graph.

#include <orvik_compiler/evaluate.hpp>

#include <span>
#include <vector>

namespace orvik_compiler::testing {

/// The values of `graph.outputs`, in order, as `evaluate_typed` documents them, or the same
/// value errors: "{op}: index {i} is outside [0, {v})" for the first gather index out of range
/// and "{op}: {value} does not fit I32" for the first float a cast cannot convert, both
/// `CompileError::Graph`, for the first operation in stored order that fails.
///
/// Only for graphs that `evaluate_typed` accepts: a graph that does not validate, an operation
/// its kind's rule refuses, or bound values that are missing, repeated, of the wrong type or
/// count throw std::invalid_argument naming the problem.
Result<std::vector<TensorData>> plain_evaluate(const Graph& graph,
                                               std::span<const TensorValue> values);

} // namespace orvik_compiler::testing
