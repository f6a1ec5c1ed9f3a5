// The host interpreter: the operations in stored order, one kernel per kind, each computed value
// dropped after its last reader.

#include "orvik_compiler/evaluate.hpp"

#include "../checked_arithmetic.hpp"
#include "../graph/op_rules.hpp"
#include "../kernels/kernels.hpp"

#include <initializer_list>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace orvik_compiler {
namespace {

const std::vector<std::uint64_t>& shape_of(const Graph& graph, TensorId id) {
  return graph.tensors[id.index].shape;
}

/// Throws std::out_of_range for an id that names no tensor of the graph.
void require_tensor(const Graph& graph, TensorId id, const char* role) {
  if (id.index >= graph.tensors.size()) {
    std::ostringstream message;
    message << "evaluate: " << role << ' ' << id << " names no tensor of a graph of "
            << graph.tensors.size() << " tensors";
    throw std::out_of_range(message.str());
  }
}

/// Whether an operation's operand count and shapes fit its kind, as the builder would have made
/// them: its kind's rule accepts the operands and gives exactly the stored output shape. The
/// graph has been validated and every tensor's element count fits 64 bits, so a rule whose
/// element count overflows can only have met an attribute that fits no tensor here: such an op
/// does not fit either.
bool operands_fit(const Graph& graph, const Op& op) {
  std::vector<std::vector<std::uint64_t>> operands;
  operands.reserve(op.inputs.size());
  for (const TensorId input : op.inputs) {
    operands.push_back(shape_of(graph, input));
  }
  try {
    const Result<std::vector<std::uint64_t>> shape = output_shape(op.name, op.kind, operands);
    return shape && *shape == shape_of(graph, op.output);
  } catch (const std::overflow_error&) {
    return false;
  }
}

/// Product of the extents in [first, last) of a shape.
std::uint64_t extent_product(const std::vector<std::uint64_t>& shape, std::size_t first,
                             std::size_t last) {
  std::uint64_t product = 1;
  for (std::size_t axis = first; axis < last; ++axis) {
    product *= shape[axis]; // part of the tensor's element count, which fits 64 bits
  }
  return product;
}

/// The values of every tensor while the graph runs: bound ones point at the caller's data,
/// computed ones at `owned`.
struct Values {
  std::vector<std::span<const float>> data;
  std::vector<std::vector<float>> owned;
  /// One past the index of the last operation reading each tensor; 0 when none reads it.
  std::vector<std::uint64_t> readers_end;
  std::vector<bool> is_output;

  /// Whether operation `op` is the last reader of tensor `id` and nothing needs it afterwards.
  bool dies_at(TensorId id, std::uint64_t op) const {
    return !is_output[id.index] && readers_end[id.index] == op + 1;
  }

  /// Storage for an element-wise result over the operands `candidates`: the first of them whose
  /// computed value dies at `op` gives up its storage, otherwise the result starts as a copy of
  /// the first. The operands' spans stay valid either way, since moving a vector keeps its
  /// elements where they are.
  std::vector<float> reuse_or_copy(std::initializer_list<TensorId> candidates, std::uint64_t op) {
    for (const TensorId id : candidates) {
      if (dies_at(id, op) && !owned[id.index].empty()) {
        return std::move(owned[id.index]);
      }
    }
    const std::span<const float> first = data[candidates.begin()->index];
    return {first.begin(), first.end()};
  }

  /// Drops the values that nothing reads after operation `op`: its inputs read for the last
  /// time, and its own output when nothing reads it and it is not a result.
  void release_after(const Op& op, std::uint64_t index) {
    for (const TensorId input : op.inputs) {
      if (dies_at(input, index)) {
        std::vector<float>().swap(owned[input.index]);
        data[input.index] = {};
      }
    }
    if (readers_end[op.output.index] == 0 && !is_output[op.output.index]) {
      std::vector<float>().swap(owned[op.output.index]);
      data[op.output.index] = {};
    }
  }
};

/// Computes one operation's value with the kernel of its kind.
struct Compute {
  const Graph& graph;
  const Op& op;
  std::uint64_t index;
  Values& values;

  std::span<const float> operand(std::size_t i) const { return values.data[op.inputs[i].index]; }
  const std::vector<std::uint64_t>& input_shape() const { return shape_of(graph, op.inputs[0]); }

  std::vector<float> operator()(const OpKind::MatMul&) const {
    const std::vector<std::uint64_t>& a = input_shape();
    const std::vector<std::uint64_t>& b = shape_of(graph, op.inputs[1]);
    return kernels::matmul(operand(0), operand(1), a[0], a[1], b[1]);
  }
  std::vector<float> operator()(const OpKind::Add&) const {
    std::vector<float> result = values.reuse_or_copy({op.inputs[0], op.inputs[1]}, index);
    kernels::add(operand(0), operand(1), result);
    return result;
  }
  std::vector<float> operator()(const OpKind::Mul&) const {
    std::vector<float> result = values.reuse_or_copy({op.inputs[0], op.inputs[1]}, index);
    kernels::multiply(operand(0), operand(1), result);
    return result;
  }
  std::vector<float> operator()(const OpKind::Reshape&) const {
    return values.reuse_or_copy({op.inputs[0]}, index);
  }
  std::vector<float> operator()(const OpKind::Transpose& transpose) const {
    return kernels::transpose(operand(0), input_shape(), transpose.permutation);
  }
  std::vector<float> operator()(const OpKind::LayerNorm& layer_norm) const {
    const std::vector<std::uint64_t>& shape = input_shape();
    const std::uint64_t columns = shape.back();
    const std::uint64_t rows = extent_product(shape, 0, shape.size() - 1);
    return kernels::layer_norm(operand(0), rows, columns, layer_norm.epsilon);
  }
  std::vector<float> operator()(const OpKind::Softmax& softmax) const {
    const std::vector<std::uint64_t>& shape = input_shape();
    const auto axis = static_cast<std::size_t>(softmax.axis);
    std::vector<float> result = values.reuse_or_copy({op.inputs[0]}, index);
    kernels::softmax_along(result, extent_product(shape, 0, axis), shape[axis],
                           extent_product(shape, axis + 1, shape.size()));
    return result;
  }
  std::vector<float> operator()(const OpKind::Gelu&) const {
    std::vector<float> result = values.reuse_or_copy({op.inputs[0]}, index);
    for (float& value : result) {
      value = kernels::gelu(value);
    }
    return result;
  }
};

/// The first problem with the bound values, in the documented order, or nothing.
std::optional<CompileError> binding_error(const Graph& graph, std::span<const TensorValue> values,
                                          const std::vector<bool>& computed,
                                          const std::vector<bool>& needed) {
  std::vector<bool> bound(graph.tensors.size(), false);
  for (const TensorValue& value : values) {
    if (bound[value.tensor.index]) {
      return CompileError::graph("tensor " + graph.tensors[value.tensor.index].name +
                                 " is bound more than once");
    }
    bound[value.tensor.index] = true;
  }
  for (const TensorValue& value : values) {
    if (computed[value.tensor.index]) {
      return CompileError::graph("tensor " + graph.tensors[value.tensor.index].name +
                                 " is computed, not bound");
    }
  }
  for (const TensorValue& value : values) {
    const Tensor& tensor = graph.tensors[value.tensor.index];
    if (value.data.size() != tensor.elements()) {
      return CompileError::graph("tensor " + tensor.name + " has " +
                                 std::to_string(value.data.size()) + " values, expected " +
                                 std::to_string(tensor.elements()));
    }
  }
  for (std::size_t i = 0; i < graph.tensors.size(); ++i) {
    if (needed[i] && !computed[i] && !bound[i]) {
      return CompileError::graph("no value for tensor " + graph.tensors[i].name);
    }
  }
  return std::nullopt;
}

} // namespace

Result<std::vector<std::vector<float>>> evaluate(const Graph& graph,
                                                 std::span<const TensorValue> values) {
  if (Result<void> valid = graph.validate(); !valid) {
    return valid.error();
  }
  // Sizes that cannot be held stop here, before any work is done.
  for (const Tensor& tensor : graph.tensors) {
    checked::float_count(tensor.elements(), "tensor element count");
  }
  for (const Op& op : graph.ops) {
    if (!operands_fit(graph, op)) {
      return CompileError::graph("invalid op " + op.name);
    }
  }
  for (const TensorValue& value : values) {
    require_tensor(graph, value.tensor, "a bound value's tensor");
  }
  for (const TensorId output : graph.outputs) {
    require_tensor(graph, output, "the graph output");
  }
  const std::size_t tensor_count = graph.tensors.size();
  Values state{std::vector<std::span<const float>>(tensor_count),
               std::vector<std::vector<float>>(tensor_count),
               std::vector<std::uint64_t>(tensor_count, 0), std::vector<bool>(tensor_count, false)};
  std::vector<bool> computed(tensor_count, false);
  std::vector<bool> needed(tensor_count, false);
  for (std::uint64_t j = 0; j < graph.ops.size(); ++j) {
    const Op& op = graph.ops[j];
    computed[op.output.index] = true;
    for (const TensorId input : op.inputs) {
      state.readers_end[input.index] = j + 1;
      needed[input.index] = true;
    }
  }
  for (const TensorId output : graph.outputs) {
    state.is_output[output.index] = true;
    needed[output.index] = true;
  }
  if (std::optional<CompileError> error = binding_error(graph, values, computed, needed)) {
    return *std::move(error);
  }
  for (const TensorValue& value : values) {
    state.data[value.tensor.index] = value.data;
  }

  for (std::uint64_t j = 0; j < graph.ops.size(); ++j) {
    const Op& op = graph.ops[j];
    std::vector<float> result = std::visit(Compute{graph, op, j, state}, op.kind.value);
    state.owned[op.output.index] = std::move(result);
    state.data[op.output.index] = state.owned[op.output.index];
    state.release_after(op, j);
  }

  // Each output's value moves into the result at its last mention in `outputs`; earlier
  // mentions and bound tensors are copies.
  std::vector<std::uint64_t> mentions_left(tensor_count, 0);
  for (const TensorId output : graph.outputs) {
    ++mentions_left[output.index];
  }
  std::vector<std::vector<float>> results;
  results.reserve(graph.outputs.size());
  for (const TensorId output : graph.outputs) {
    if (--mentions_left[output.index] == 0 && !state.owned[output.index].empty()) {
      results.push_back(std::move(state.owned[output.index]));
    } else {
      const std::span<const float> value = state.data[output.index];
      results.emplace_back(value.begin(), value.end());
    }
  }
  return results;
}

} // namespace orvik_compiler
