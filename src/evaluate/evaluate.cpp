// The host interpreter: the operations in stored order, one kernel per kind, each computed value
// dropped after its last reader.

#include "orvik_compiler/evaluate.hpp"

#include "../checked_arithmetic.hpp"
#include "../graph/op_rules.hpp"
#include "../kernels/kernels.hpp"
#include "../result_try.hpp"

#include <algorithm>
#include <compare>
#include <initializer_list>
#include <limits>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace orvik_compiler {
namespace {

/// A byte count that stops at 2^64 - 1 instead of wrapping, and stays there.
struct SaturatingBytes {
  static constexpr std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t value = 0;

  friend SaturatingBytes operator+(SaturatingBytes a, SaturatingBytes b) {
    return {a.value > most - b.value ? most : a.value + b.value};
  }
  friend SaturatingBytes operator*(SaturatingBytes a, SaturatingBytes b) {
    return {b.value != 0 && a.value > most / b.value ? most : a.value * b.value};
  }
  /// `a - b` for `b` counted into `a` before; a saturated count stays saturated.
  friend SaturatingBytes operator-(SaturatingBytes a, SaturatingBytes b) {
    return {a.value == most ? most : a.value - std::min(a.value, b.value)};
  }
  SaturatingBytes& operator+=(SaturatingBytes other) { return *this = *this + other; }
  friend auto operator<=>(SaturatingBytes, SaturatingBytes) = default;
};

/// A block of the heap holding `bytes`, with what the allocator adds.
SaturatingBytes heap_block(SaturatingBytes bytes) {
  return bytes + SaturatingBytes{32};
}

/// Values of either element type, read in place.
using ValueSpan = decltype(TensorValue::data);

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

/// Whether an operation's operand count, types and shapes fit its kind, as the builder would
/// have made them: its kind's rule accepts the operands and gives exactly the stored output type
/// and shape. The graph has been validated and every tensor's element count fits 64 bits, so a
/// rule whose element count overflows can only have met an attribute that fits no tensor here:
/// such an op does not fit either.
bool operands_fit(const Graph& graph, const Op& op) {
  std::vector<TensorType> operands;
  operands.reserve(op.inputs.size());
  for (const TensorId input : op.inputs) {
    operands.push_back(TensorType{shape_of(graph, input), graph.tensors[input.index].dtype});
  }
  try {
    const Result<TensorType> type = output_type(op.name, op.kind, operands);
    const Tensor& output = graph.tensors[op.output.index];
    return type && type->shape == output.shape && type->dtype == output.dtype;
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

/// A row-major shape seen around one axis: `outer` x `extent` x `inner` values.
struct AroundAxis {
  std::uint64_t outer;
  std::uint64_t extent;
  std::uint64_t inner;
};

AroundAxis around(const std::vector<std::uint64_t>& shape, std::uint64_t axis) {
  const auto at = static_cast<std::size_t>(axis);
  return {extent_product(shape, 0, at), shape[at], extent_product(shape, at + 1, shape.size())};
}

DType dtype_of(const ValueSpan& data) {
  return std::holds_alternative<std::span<const float>>(data) ? DType::F32 : DType::I32;
}

std::size_t size_of(const ValueSpan& data) {
  return std::visit([](auto values) { return values.size(); }, data);
}

/// A copy of values read in place.
TensorData copy_of(const ValueSpan& data) {
  return std::visit(
      []<class Element>(std::span<const Element> values) -> TensorData {
        return std::vector<Element>(values.begin(), values.end());
      },
      data);
}

/// The values of every tensor while the graph runs: bound ones point at the caller's data,
/// computed ones at `owned`.
struct Values {
  std::vector<ValueSpan> data;
  std::vector<TensorData> owned;
  /// One past the index of the last operation reading each tensor; 0 when none reads it.
  std::vector<std::uint64_t> readers_end;
  std::vector<bool> is_output;

  template <class Element>
  std::span<const Element> get(TensorId id) const {
    return std::get<std::span<const Element>>(data[id.index]);
  }

  /// Whether operation `op` is the last reader of tensor `id` and nothing needs it afterwards.
  bool dies_at(TensorId id, std::uint64_t op) const {
    return !is_output[id.index] && readers_end[id.index] == op + 1;
  }

  /// Whether `id`'s values were computed here and are still held (no tensor is empty).
  bool holds(TensorId id) const {
    return std::visit([](const auto& values) { return !values.empty(); }, owned[id.index]);
  }

  /// The storage of the first of `candidates` whose computed value dies at `op`, or nothing.
  /// The candidates' spans stay valid either way, since moving a vector keeps its elements
  /// where they are.
  template <class Element>
  std::optional<std::vector<Element>> take_dying(std::initializer_list<TensorId> candidates,
                                                 std::uint64_t op) {
    for (const TensorId id : candidates) {
      if (!dies_at(id, op)) {
        continue;
      }
      if (auto* values = std::get_if<std::vector<Element>>(&owned[id.index]);
          values != nullptr && !values->empty()) {
        return std::move(*values);
      }
    }
    return std::nullopt;
  }

  /// `id`'s values for an operation that works on them in place: its storage when it dies at
  /// `op`, otherwise a copy.
  template <class Element>
  std::vector<Element> take_or_copy(TensorId id, std::uint64_t op) {
    if (std::optional<std::vector<Element>> taken = take_dying<Element>({id}, op)) {
      return *std::move(taken);
    }
    const std::span<const Element> values = get<Element>(id);
    return {values.begin(), values.end()};
  }

  /// Storage for an element-wise result of `size` values over the operands `candidates`: the
  /// first one's that dies at `op`, otherwise new.
  std::vector<float> take_or_allocate(std::initializer_list<TensorId> candidates, std::uint64_t op,
                                      std::size_t size) {
    if (std::optional<std::vector<float>> taken = take_dying<float>(candidates, op)) {
      return *std::move(taken);
    }
    return std::vector<float>(size);
  }

  /// Drops the values that nothing reads after operation `op`: its inputs read for the last
  /// time, and its own output when nothing reads it and it is not a result.
  void release_after(const Op& op, std::uint64_t index) {
    for (const TensorId input : op.inputs) {
      if (dies_at(input, index)) {
        owned[input.index] = TensorData{};
        data[input.index] = ValueSpan{};
      }
    }
    if (readers_end[op.output.index] == 0 && !is_output[op.output.index]) {
      owned[op.output.index] = TensorData{};
      data[op.output.index] = ValueSpan{};
    }
  }
};

/// Computes one operation's value with the kernel of its kind. The operands' types are those
/// the kind's rule accepted.
struct Compute {
  const Graph& graph;
  const Op& op;
  std::uint64_t index;
  Values& values;

  std::span<const float> floats(std::size_t i) const { return values.get<float>(op.inputs[i]); }
  const std::vector<std::uint64_t>& shape(std::size_t i) const {
    return shape_of(graph, op.inputs[i]);
  }

  /// `move(values)` on the first operand's values, of whichever element type they are.
  template <class Move>
  TensorData on_first_operand(Move move) const {
    return std::visit([&](auto first) -> TensorData { return move(first); },
                      values.data[op.inputs[0].index]);
  }

  /// The first operand's values unchanged.
  TensorData same_values() const {
    return on_first_operand([this]<class Element>(std::span<const Element>) {
      return values.take_or_copy<Element>(op.inputs[0], index);
    });
  }

  TensorData binary(kernels::BinaryFunction function) const {
    std::vector<float> result =
        values.take_or_allocate({op.inputs[0], op.inputs[1]}, index, floats(0).size());
    kernels::apply(function, floats(0), floats(1), result);
    return result;
  }

  TensorData unary(kernels::UnaryFunction function) const {
    std::vector<float> result = values.take_or_allocate({op.inputs[0]}, index, floats(0).size());
    kernels::apply(function, floats(0), result);
    return result;
  }

  TensorData reduce(kernels::Reduction reduction, std::uint64_t axis) const {
    const AroundAxis split = around(shape(0), axis);
    return kernels::reduce(reduction, floats(0), split.outer, split.extent, split.inner);
  }

  TensorData operator()(const OpKind::MatMul&) const {
    return kernels::matmul(floats(0), floats(1), shape(0)[0], shape(0)[1], shape(1)[1]);
  }
  TensorData operator()(const OpKind::Add&) const { return binary(kernels::BinaryFunction::add); }
  TensorData operator()(const OpKind::Mul&) const {
    return binary(kernels::BinaryFunction::multiply);
  }
  TensorData operator()(const OpKind::Reshape&) const { return same_values(); }
  TensorData operator()(const OpKind::Transpose& transpose) const {
    return on_first_operand(
        [&](auto input) { return kernels::transpose(input, shape(0), transpose.permutation); });
  }
  TensorData operator()(const OpKind::LayerNorm& layer_norm) const {
    const std::vector<std::uint64_t>& input = shape(0);
    const std::uint64_t columns = input.back();
    const std::uint64_t rows = extent_product(input, 0, input.size() - 1);
    return kernels::layer_norm(floats(0), rows, columns, layer_norm.epsilon);
  }
  TensorData operator()(const OpKind::Softmax& softmax) const {
    const AroundAxis split = around(shape(0), softmax.axis);
    std::vector<float> result = values.take_or_copy<float>(op.inputs[0], index);
    kernels::softmax_along(result, split.outer, split.extent, split.inner);
    return result;
  }
  TensorData operator()(const OpKind::Gelu&) const {
    std::vector<float> result = values.take_or_copy<float>(op.inputs[0], index);
    kernels::gelu_values(result, result);
    return result;
  }
  TensorData operator()(const OpKind::BatchMatMul&) const {
    const std::vector<std::uint64_t>& left = shape(0);
    const std::vector<std::uint64_t>& right = shape(1);
    const std::size_t rank = left.size();
    const kernels::RightOperand right_operand =
        right.size() == 2 ? kernels::RightOperand::shared : kernels::RightOperand::batched;
    return kernels::batch_matmul(floats(0), floats(1), right_operand,
                                 extent_product(left, 0, rank - 2), left[rank - 2], left[rank - 1],
                                 right.back());
  }
  TensorData operator()(const OpKind::Sub&) const {
    return binary(kernels::BinaryFunction::subtract);
  }
  TensorData operator()(const OpKind::Div&) const {
    return binary(kernels::BinaryFunction::divide);
  }
  TensorData operator()(const OpKind::Maximum&) const {
    return binary(kernels::BinaryFunction::maximum);
  }
  TensorData operator()(const OpKind::Minimum&) const {
    return binary(kernels::BinaryFunction::minimum);
  }
  TensorData operator()(const OpKind::Pow&) const { return binary(kernels::BinaryFunction::power); }
  TensorData operator()(const OpKind::Erf&) const { return unary(kernels::UnaryFunction::erf); }
  TensorData operator()(const OpKind::Tanh&) const { return unary(kernels::UnaryFunction::tanh); }
  TensorData operator()(const OpKind::Exp&) const { return unary(kernels::UnaryFunction::exp); }
  TensorData operator()(const OpKind::Log&) const { return unary(kernels::UnaryFunction::log); }
  TensorData operator()(const OpKind::Sqrt&) const { return unary(kernels::UnaryFunction::sqrt); }
  TensorData operator()(const OpKind::Reciprocal&) const {
    return unary(kernels::UnaryFunction::reciprocal);
  }
  TensorData operator()(const OpKind::Neg&) const { return unary(kernels::UnaryFunction::negate); }
  TensorData operator()(const OpKind::Abs&) const {
    return unary(kernels::UnaryFunction::absolute);
  }
  TensorData operator()(const OpKind::Relu&) const { return unary(kernels::UnaryFunction::relu); }
  TensorData operator()(const OpKind::Sigmoid&) const {
    return unary(kernels::UnaryFunction::sigmoid);
  }
  TensorData operator()(const OpKind::Broadcast& broadcast) const {
    return on_first_operand(
        [&](auto input) { return kernels::broadcast(input, shape(0), broadcast.shape); });
  }
  TensorData operator()(const OpKind::Slice& slice) const {
    const AroundAxis split = around(shape(0), slice.axis);
    return on_first_operand([&](auto input) {
      return kernels::slice(input, split.outer, split.extent, split.inner, slice.start, slice.stop,
                            slice.step);
    });
  }
  TensorData operator()(const OpKind::Concat& concat) const {
    const AroundAxis split = around(shape(0), concat.axis);
    std::vector<std::uint64_t> extents;
    extents.reserve(op.inputs.size());
    for (const TensorId input : op.inputs) {
      extents.push_back(shape_of(graph, input)[static_cast<std::size_t>(concat.axis)]);
    }
    return on_first_operand([&]<class Element>(std::span<const Element>) {
      std::vector<std::span<const Element>> inputs;
      inputs.reserve(op.inputs.size());
      for (const TensorId input : op.inputs) {
        inputs.push_back(values.get<Element>(input));
      }
      return kernels::concat<Element>(inputs, extents, split.outer, split.inner);
    });
  }
  TensorData operator()(const OpKind::Gather&) const {
    const std::vector<std::uint64_t>& table = shape(0);
    const std::span<const std::int32_t> indices = values.get<std::int32_t>(op.inputs[1]);
    return on_first_operand([&](auto rows) {
      return kernels::gather(rows, table[0], extent_product(table, 1, table.size()), indices);
    });
  }
  TensorData operator()(const OpKind::ReduceSum& reduce_sum) const {
    return reduce(kernels::Reduction::sum, reduce_sum.axis);
  }
  TensorData operator()(const OpKind::ReduceMean& reduce_mean) const {
    return reduce(kernels::Reduction::mean, reduce_mean.axis);
  }
  TensorData operator()(const OpKind::ReduceMax& reduce_max) const {
    return reduce(kernels::Reduction::max, reduce_max.axis);
  }
  TensorData operator()(const OpKind::Cast& cast) const {
    const DType from = dtype_of(values.data[op.inputs[0].index]);
    if (from == cast.dtype) {
      return same_values();
    }
    if (cast.dtype == DType::I32) {
      return kernels::cast_to_i32(floats(0));
    }
    return kernels::cast_to_f32(values.get<std::int32_t>(op.inputs[0]));
  }
};

/// The error an operation meets on its operands' values, before it runs: a gather index
/// outside the table's rows, or a value that a cast to I32 cannot hold; nothing otherwise.
std::optional<CompileError> value_error(const Graph& graph, const Op& op, const Values& values) {
  if (std::holds_alternative<OpKind::Gather>(op.kind.value)) {
    const std::uint64_t rows = shape_of(graph, op.inputs[0])[0];
    const std::optional<std::int32_t> index =
        kernels::first_index_outside(values.get<std::int32_t>(op.inputs[1]), rows);
    if (index) {
      return CompileError::graph(op.name + ": index " + std::to_string(*index) +
                                 " is outside [0, " + std::to_string(rows) + ")");
    }
  }
  const auto* cast = std::get_if<OpKind::Cast>(&op.kind.value);
  if (cast != nullptr && cast->dtype == DType::I32 &&
      dtype_of(values.data[op.inputs[0].index]) == DType::F32) {
    if (const std::optional<float> value =
            kernels::first_outside_i32(values.get<float>(op.inputs[0]))) {
      return CompileError::graph(op.name + ": " + kernels::float_text(*value) +
                                 " does not fit I32");
    }
  }
  return std::nullopt;
}

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
    if (dtype_of(value.data) != tensor.dtype) {
      std::ostringstream message;
      message << "tensor " << tensor.name << " has " << dtype_of(value.data) << " values, expected "
              << tensor.dtype;
      return CompileError::graph(message.str());
    }
  }
  for (const TensorValue& value : values) {
    const Tensor& tensor = graph.tensors[value.tensor.index];
    if (size_of(value.data) != tensor.elements()) {
      return CompileError::graph("tensor " + tensor.name + " has " +
                                 std::to_string(size_of(value.data)) + " values, expected " +
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

Result<std::vector<TensorData>> evaluate_typed(const Graph& graph,
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
  Values state{std::vector<ValueSpan>(tensor_count), std::vector<TensorData>(tensor_count),
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
    if (std::optional<CompileError> error = value_error(graph, op, state)) {
      return *std::move(error);
    }
    TensorData& result = state.owned[op.output.index];
    result = std::visit(Compute{graph, op, j, state}, op.kind.value);
    state.data[op.output.index] = std::visit(
        [](const auto& computed_values) { return ValueSpan{std::span(computed_values)}; }, result);
    state.release_after(op, j);
  }

  // Each output's value moves into the result at its last mention in `outputs`; earlier
  // mentions and bound tensors are copies.
  std::vector<std::uint64_t> mentions_left(tensor_count, 0);
  for (const TensorId output : graph.outputs) {
    ++mentions_left[output.index];
  }
  std::vector<TensorData> results;
  results.reserve(graph.outputs.size());
  for (const TensorId output : graph.outputs) {
    if (--mentions_left[output.index] == 0 && state.holds(output)) {
      results.push_back(std::move(state.owned[output.index]));
    } else {
      results.push_back(copy_of(state.data[output.index]));
    }
  }
  return results;
}

std::uint64_t evaluation_memory_bound(const Graph& graph) {
  const std::size_t tensor_count = graph.tensors.size();
  const auto valid = [&](TensorId id) { return id.index < tensor_count; };
  // A tensor's values: 4 bytes an element, whatever its type, in one block.
  std::vector<SaturatingBytes> value_bytes(tensor_count);
  for (std::size_t t = 0; t < tensor_count; ++t) {
    SaturatingBytes elements{1};
    for (const std::uint64_t extent : graph.tensors[t].shape) {
      elements = elements * SaturatingBytes{extent};
    }
    value_bytes[t] = heap_block(SaturatingBytes{4} * elements);
  }
  std::vector<std::uint64_t> readers_end(tensor_count, 0);
  std::vector<std::uint64_t> mentions(tensor_count, 0);
  for (std::uint64_t j = 0; j < graph.ops.size(); ++j) {
    for (const TensorId input : graph.ops[j].inputs) {
      if (valid(input)) {
        readers_end[input.index] = j + 1;
      }
    }
  }
  for (const TensorId output : graph.outputs) {
    if (valid(output)) {
      ++mentions[output.index];
    }
  }
  const auto computed = [&](TensorId id) {
    return valid(id) && graph.tensors[id.index].producer.has_value();
  };
  SaturatingBytes live;
  SaturatingBytes peak;
  for (std::uint64_t j = 0; j < graph.ops.size(); ++j) {
    const Op& op = graph.ops[j];
    SaturatingBytes axes;
    for (const TensorId id : op.inputs) {
      axes += SaturatingBytes{valid(id) ? graph.tensors[id.index].shape.size() : 0};
    }
    const SaturatingBytes operands{op.inputs.size()};
    const SaturatingBytes output =
        valid(op.output) ? value_bytes[op.output.index] : SaturatingBytes{};
    // The shape check copies each operand's type and makes the output's; the data-movement
    // kernels keep a few vectors of one entry an axis or an operand; the matrix products pack
    // blocks of both operands.
    const SaturatingBytes checks =
        operands * SaturatingBytes{64} + SaturatingBytes{16} * (axes + axes);
    const SaturatingBytes kernel = SaturatingBytes{64} * (axes + operands) +
                                   heap_block(SaturatingBytes{kernels::matmul_panel_bytes()}) +
                                   SaturatingBytes{32};
    peak = std::max(peak, live + output + checks + kernel);
    live += output;
    // Values are counted off as the evaluation drops them: a computed input at its last reader
    // (once, however often the operation reads it), an output that nothing reads.
    for (const TensorId input : op.inputs) {
      if (computed(input) && mentions[input.index] == 0 && readers_end[input.index] == j + 1) {
        live = live - value_bytes[input.index];
        readers_end[input.index] = 0;
      }
    }
    if (valid(op.output) && readers_end[op.output.index] == 0 && mentions[op.output.index] == 0) {
      live = live - output;
    }
  }
  // The live values are now the computed outputs, each moved into the results at its last
  // mention; every other mention is a copy.
  SaturatingBytes results = live;
  for (const TensorId output : graph.outputs) {
    if (valid(output) && (--mentions[output.index] != 0 || !computed(output))) {
      results += value_bytes[output.index];
    }
  }
  // The evaluator's records: per tensor its span, its owned vector, its last reader and flags;
  // per output mention an entry of the results.
  const SaturatingBytes state = SaturatingBytes{tensor_count} * SaturatingBytes{96} +
                                SaturatingBytes{graph.outputs.size()} * SaturatingBytes{32};
  return (state + std::max(peak, results)).value;
}

Result<std::vector<std::vector<float>>> evaluate(const Graph& graph,
                                                 std::span<const TensorValue> values) {
  // An id outside the graph is left to `evaluate_typed`, which refuses it in its own order.
  for (const TensorId output : graph.outputs) {
    if (output.index < graph.tensors.size() && graph.tensors[output.index].dtype == DType::I32) {
      return CompileError::graph("output " + graph.tensors[output.index].name +
                                 " is I32: evaluate_typed returns its values");
    }
  }
  ORVIK_TRY(outputs, evaluate_typed(graph, values));
  std::vector<std::vector<float>> results;
  results.reserve(outputs.size());
  for (TensorData& output : outputs) {
    results.push_back(std::get<std::vector<float>>(std::move(output)));
  }
  return results;
}

} // namespace orvik_compiler
