#pragma once

// The host interpreter: evaluates any graph on the host with the library's kernels, so that what
// a graph computes can be checked.

#include "orvik_compiler/graph.hpp"
#include "orvik_compiler/result.hpp"

#include <cstdint>
#include <span>
#include <variant>
#include <vector>

namespace orvik_compiler {

/// A value bound to one tensor: row-major elements of the tensor's type, 32-bit floats for an
/// F32 tensor and 32-bit integers for an I32 one, exactly as many as the tensor has elements.
struct TensorValue {
  TensorId tensor;
  std::variant<std::span<const float>, std::span<const std::int32_t>> data;
};

/// The computed values of one tensor, of its element type.
using TensorData = std::variant<std::vector<float>, std::vector<std::int32_t>>;

/// Evaluates the graph on the host and returns the values of `graph.outputs`, in order, each of
/// its tensor's type.
///
/// Every tensor that no operation produces and that an operation reads or that is an output must
/// be bound; values bound to other tensors are allowed and unused. Bound data is read in place,
/// never copied, and must stay alive and unchanged during the call. Errors, all
/// `CompileError::Graph`, first failure wins: the graph's own validation error; "invalid op
/// {name}" for an operation whose operand count, types or shapes do not fit its kind; then, over
/// the values in order, "tensor {name} is bound more than once", "tensor {name} is computed, not
/// bound" (a value for an operation's output), "tensor {name} has {type} values, expected
/// {type}", "tensor {name} has {given} values, expected {expected}"; then, over the tensors in
/// index order, "no value for tensor {name}".
///
/// The operations run in stored order, each step rounded to single precision with no fused
/// multiply-add; non-finite values propagate by the IEEE rules. `MatMul` is `kernels::matmul`
/// and `BatchMatMul` the same product on every batch; `Add`, `Sub`, `Mul`, `Div` the
/// single-precision operation, left operand first; `Maximum` and `Minimum` NaN when either
/// operand is NaN, otherwise the larger (smaller), +0 above -0; `Pow`, `Erf`, `Tanh`, `Exp`,
/// `Log` the C library's `powf`, `erff`, `tanhf`, `expf`, `logf`; `Sqrt` the correctly rounded
/// root; `Reciprocal` `1.0f / x`; `Neg` `-x`; `Abs` `fabsf`; `Relu` `x < 0 ? +0.0f : x`;
/// `Sigmoid` `1.0f / (1.0f + expf(-x))`; `LayerNorm` is `kernels::layer_norm` over the last
/// axis with the op's epsilon; `Softmax` is `kernels::softmax_rows`' algorithm on every slice
/// along the op's axis; `Gelu` is `kernels::gelu` on every element; `ReduceSum` adds along the
/// axis in increasing index starting from the first element, `ReduceMean` divides that sum by
/// the extent, `ReduceMax` is NaN when any element is NaN and otherwise the largest, +0 above
/// -0 as for `Maximum`; `Cast` rounds I32 to the nearest F32 and truncates F32 toward zero to
/// I32. Data movement (`Reshape`, `Transpose`, `Broadcast`, `Slice`, `Concat`, `Gather`) copies
/// values unchanged; a gather index is never wrapped, so a negative one is outside the table.
///
/// The evaluation fails on values, returning nothing: "{op}: index {i} is outside [0, {v})" for
/// a gather index outside the table's rows, the first in index order, and "{op}: {value} does
/// not fit I32" for the first value of a cast that is NaN or outside [-2^31, 2^31), the value
/// written in the shortest form that reads back as the same float ("nan", "inf",
/// "2147483648", "3e+09"); both `CompileError::Graph`.
///
/// An intermediate value is dropped as soon as its last reader has run (an element-wise
/// operation takes over its operand's storage when it is that operand's last reader), so the
/// memory in use stays near the largest set of values live at one time.
///
/// A value bound to, or a graph output naming, a tensor id outside the graph throws
/// std::out_of_range; a tensor whose values could not fit the address space throws
/// std::overflow_error, both before any work is done; memory running out throws std::bad_alloc.
Result<std::vector<TensorData>> evaluate_typed(const Graph& graph,
                                               std::span<const TensorValue> values);

/// An upper bound on the heap, in bytes, that `evaluate_typed` takes for `graph` beyond the
/// values bound to it, computed from the graph alone before anything is evaluated: the largest
/// sum, over the operations in stored order, of the computed values live before the operation,
/// its output (counted as new even where it takes over an operand's storage), its kernel's
/// working memory and its shape checks; then the results, every output mention that is not a
/// computed value's last one counted as a copy; and the per-tensor state. Time linear in the
/// graph's tensors, operations and shape lengths. Sums saturate at 2^64 - 1; ids outside the
/// graph count as nothing, and a graph that `evaluate_typed` refuses gets a bound all the same.
std::uint64_t evaluation_memory_bound(const Graph& graph);

/// `evaluate_typed` for graphs whose outputs are all F32, returning their values as floats; an
/// I32 output gives "output {name} is I32: evaluate_typed returns its values"
/// (`CompileError::Graph`) before any work is done.
Result<std::vector<std::vector<float>>> evaluate(const Graph& graph,
                                                 std::span<const TensorValue> values);

} // namespace orvik_compiler
