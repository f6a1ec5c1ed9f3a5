#pragma once

// The host interpreter: evaluates any graph on the host with the library's kernels, so that what
// a graph computes can be checked.

#include "orvik_compiler/graph.hpp"
#include "orvik_compiler/result.hpp"

#include <span>
#include <vector>

namespace orvik_compiler {

/// A value bound to one tensor: row-major 32-bit floats, exactly as many as the tensor has
/// elements.
struct TensorValue {
  TensorId tensor;
  std::span<const float> data;
};

/// Evaluates the graph on the host and returns the values of `graph.outputs`, in order.
///
/// Every tensor that no operation produces and that an operation reads or that is an output must
/// be bound; values bound to other tensors are allowed and unused. Bound data is read in place,
/// never copied, and must stay alive and unchanged during the call. Errors, all
/// `CompileError::Graph`, first failure wins: the graph's own validation error; "invalid op
/// {name}" for an operation whose operand count or shapes do not fit its kind; then, over the
/// values in order, "tensor {name} is bound more than once", "tensor {name} is computed, not
/// bound" (a value for an operation's output), "tensor {name} has {given} values, expected
/// {expected}"; then, over the tensors in index order, "no value for tensor {name}".
///
/// The evaluation itself never fails: non-finite values propagate by the IEEE rules. The
/// operations run in stored order with the kernels' exact arithmetic: `MatMul` is
/// `kernels::matmul`; `Add` and `Mul` are element-wise single-precision sums and products, left
/// operand first; `Reshape` keeps the row-major data; `Transpose` moves output axis i from input
/// axis `permutation[i]`; `LayerNorm` is `kernels::layer_norm` over the last axis with the op's
/// epsilon; `Softmax` is `kernels::softmax_rows`' algorithm on every slice along the op's axis;
/// `Gelu` is `kernels::gelu` on every element. An intermediate value is dropped as soon as its
/// last reader has run (an element-wise operation takes over its operand's storage when it is
/// that operand's last reader), so the memory in use stays near the largest set of values live
/// at one time.
///
/// A value bound to, or a graph output naming, a tensor id outside the graph throws
/// std::out_of_range; a tensor whose values could not fit the address space throws
/// std::overflow_error, both before any work is done; memory running out throws std::bad_alloc.
Result<std::vector<std::vector<float>>> evaluate(const Graph& graph,
                                                 std::span<const TensorValue> values);

} // namespace orvik_compiler
