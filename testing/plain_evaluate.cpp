// The interpreter's arithmetic as plain loops over multi-indices.

#include "testing/plain_evaluate.hpp"

#include "graph/op_rules.hpp"
#include "testing/plain_kernels.hpp"

#include <charconv>
#include <cmath>
#include <iterator>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace orvik_compiler::testing {
namespace {

using Shape = std::vector<std::uint64_t>;

/// The multi-index of the row-major element `flat` of an array of `shape`.
Shape unravel(std::uint64_t flat, const Shape& shape) {
  Shape index(shape.size(), 0);
  for (std::size_t axis = shape.size(); axis-- > 0;) {
    index[axis] = flat % shape[axis];
    flat /= shape[axis];
  }
  return index;
}

/// The row-major position of `index` in an array of `shape`.
std::uint64_t ravel(const Shape& index, const Shape& shape) {
  std::uint64_t flat = 0;
  for (std::size_t axis = 0; axis < shape.size(); ++axis) {
    flat = flat * shape[axis] + index[axis];
  }
  return flat;
}

/// Every element of an array of `output_shape`, each read from `input` at the position that
/// `source` gives for its multi-index: the whole of data movement.
template <class T, class Source>
std::vector<T> copy_by_index(std::span<const T> input, const Shape& output_shape, Source source) {
  std::vector<T> output(element_count(output_shape));
  for (std::uint64_t flat = 0; flat < output.size(); ++flat) {
    output[flat] = input[source(unravel(flat, output_shape))];
  }
  return output;
}

/// The values of a tensor, bound or computed, where they are.
using View = decltype(TensorValue::data);

TensorData copied(const View& view) {
  return std::visit(
      [](auto values) -> TensorData {
        return std::vector<typename decltype(values)::value_type>(values.begin(), values.end());
      },
      view);
}

float nan() {
  return std::numeric_limits<float>::quiet_NaN();
}

/// The larger, NaN if either is NaN, +0 above -0.
float plain_maximum(float a, float b) {
  if (std::isnan(a) || std::isnan(b)) {
    return nan();
  }
  if (a == b) {
    return std::signbit(a) ? b : a;
  }
  return a > b ? a : b;
}

/// The smaller, NaN if either is NaN, -0 below +0.
float plain_minimum(float a, float b) {
  if (std::isnan(a) || std::isnan(b)) {
    return nan();
  }
  if (a == b) {
    return std::signbit(a) ? a : b;
  }
  return a < b ? a : b;
}

/// 0.5 x (1 + tanh(0.7978846 (x + 0.044715 x^3))), read left to right, every step rounded.
float plain_gelu(float x) {
  const float cube = x * x * x;
  return 0.5F * x * (1.0F + std::tanh(0.7978846F * (x + 0.044715F * cube)));
}

/// The shortest text that reads back as `value`; "nan" for every NaN.
std::string float_text(float value) {
  if (std::isnan(value)) {
    return "nan";
  }
  char text[32];
  const std::to_chars_result written = std::to_chars(std::begin(text), std::end(text), value);
  return {std::begin(text), written.ptr};
}

/// Computes one operation from the values of its operands, each kind by its own loops.
struct PlainOperation {
  const Graph& graph;
  const Op& op;
  const std::vector<std::optional<View>>& views;

  const Shape& shape(std::size_t operand) const {
    return graph.tensors[op.inputs[operand].index].shape;
  }
  const Shape& output_shape() const { return graph.tensors[op.output.index].shape; }
  const View& data(std::size_t operand) const { return *views[op.inputs[operand].index]; }
  std::span<const float> floats(std::size_t operand) const {
    return std::get<std::span<const float>>(data(operand));
  }

  template <class Function>
  TensorData unary(Function function) const {
    std::vector<float> result;
    for (const float x : floats(0)) {
      result.push_back(function(x));
    }
    return result;
  }
  template <class Function>
  TensorData binary(Function function) const {
    const std::span<const float> left = floats(0);
    const std::span<const float> right = floats(1);
    std::vector<float> result;
    for (std::size_t i = 0; i < left.size(); ++i) {
      result.push_back(function(left[i], right[i]));
    }
    return result;
  }
  /// Data movement of one operand of either type.
  template <class Source>
  TensorData move_values(Source source) const {
    return std::visit(
        [&](auto input) -> TensorData { return copy_by_index(input, output_shape(), source); },
        data(0));
  }
  /// The output with `axis` reduced: `combine(first, element)` runs over each slice along the
  /// axis in increasing index, starting from its first element.
  template <class Combine>
  TensorData reduce(std::uint64_t axis, Combine combine) const {
    const std::span<const float> input = floats(0);
    const Shape& input_shape = shape(0);
    std::vector<float> result;
    for (std::uint64_t flat = 0; flat < element_count(output_shape()); ++flat) {
      Shape index = unravel(flat, output_shape());
      float accumulated = input[ravel(index, input_shape)];
      for (index[axis] = 1; index[axis] < input_shape[axis]; ++index[axis]) {
        accumulated = combine(accumulated, input[ravel(index, input_shape)]);
      }
      result.push_back(accumulated);
    }
    return result;
  }

  Result<TensorData> operator()(const OpKind::MatMul&) const {
    return TensorData{plain_matmul(floats(0), floats(1), shape(0)[0], shape(0)[1], shape(1)[1])};
  }
  Result<TensorData> operator()(const OpKind::Add&) const {
    return binary([](float a, float b) { return a + b; });
  }
  Result<TensorData> operator()(const OpKind::Mul&) const {
    return binary([](float a, float b) { return a * b; });
  }
  Result<TensorData> operator()(const OpKind::Reshape&) const { return copied(data(0)); }
  Result<TensorData> operator()(const OpKind::Transpose& transpose) const {
    return move_values([&](const Shape& index) {
      Shape source(index.size());
      for (std::size_t axis = 0; axis < index.size(); ++axis) {
        source[transpose.permutation[axis]] = index[axis];
      }
      return ravel(source, shape(0));
    });
  }
  Result<TensorData> operator()(const OpKind::LayerNorm& layer_norm) const {
    const std::uint64_t columns = shape(0).back();
    return TensorData{plain_layer_norm(floats(0), element_count(shape(0)) / columns, columns,
                                       layer_norm.epsilon)};
  }
  Result<TensorData> operator()(const OpKind::Softmax& softmax) const {
    return TensorData{plain_softmax(floats(0), shape(0), softmax.axis)};
  }
  Result<TensorData> operator()(const OpKind::Gelu&) const { return unary(plain_gelu); }
  Result<TensorData> operator()(const OpKind::BatchMatMul&) const {
    const Shape& left_shape = shape(0);
    const Shape& right_shape = shape(1);
    const std::uint64_t rows = left_shape[left_shape.size() - 2];
    const std::uint64_t inner = left_shape.back();
    const std::uint64_t columns = right_shape.back();
    const std::span<const float> left = floats(0);
    const std::span<const float> right = floats(1);
    const bool shared_right = right_shape.size() == 2;
    std::vector<float> result;
    for (std::uint64_t batch = 0; batch < element_count(left_shape) / (rows * inner); ++batch) {
      const auto left_batch = left.subspan(batch * rows * inner, rows * inner);
      const auto right_batch =
          right.subspan(shared_right ? 0 : batch * inner * columns, inner * columns);
      const std::vector<float> product =
          plain_matmul(left_batch, right_batch, rows, inner, columns);
      result.insert(result.end(), product.begin(), product.end());
    }
    return TensorData{std::move(result)};
  }
  Result<TensorData> operator()(const OpKind::Sub&) const {
    return binary([](float a, float b) { return a - b; });
  }
  Result<TensorData> operator()(const OpKind::Div&) const {
    return binary([](float a, float b) { return a / b; });
  }
  Result<TensorData> operator()(const OpKind::Maximum&) const { return binary(plain_maximum); }
  Result<TensorData> operator()(const OpKind::Minimum&) const { return binary(plain_minimum); }
  Result<TensorData> operator()(const OpKind::Pow&) const {
    return binary([](float a, float b) { return std::pow(a, b); });
  }
  Result<TensorData> operator()(const OpKind::Erf&) const {
    return unary([](float x) { return std::erf(x); });
  }
  Result<TensorData> operator()(const OpKind::Tanh&) const {
    return unary([](float x) { return std::tanh(x); });
  }
  Result<TensorData> operator()(const OpKind::Exp&) const {
    return unary([](float x) { return std::exp(x); });
  }
  Result<TensorData> operator()(const OpKind::Log&) const {
    return unary([](float x) { return std::log(x); });
  }
  Result<TensorData> operator()(const OpKind::Sqrt&) const {
    return unary([](float x) { return std::sqrt(x); });
  }
  Result<TensorData> operator()(const OpKind::Reciprocal&) const {
    return unary([](float x) { return 1.0F / x; });
  }
  Result<TensorData> operator()(const OpKind::Neg&) const {
    return unary([](float x) { return -x; });
  }
  Result<TensorData> operator()(const OpKind::Abs&) const {
    return unary([](float x) { return std::fabs(x); });
  }
  Result<TensorData> operator()(const OpKind::Relu&) const {
    return unary([](float x) { return x < 0.0F ? 0.0F : x; });
  }
  Result<TensorData> operator()(const OpKind::Sigmoid&) const {
    return unary([](float x) { return 1.0F / (1.0F + std::exp(-x)); });
  }
  Result<TensorData> operator()(const OpKind::Broadcast&) const {
    const Shape& input_shape = shape(0);
    const std::size_t added_axes = output_shape().size() - input_shape.size();
    return move_values([&](const Shape& index) {
      Shape source(input_shape.size());
      for (std::size_t axis = 0; axis < source.size(); ++axis) {
        source[axis] = input_shape[axis] == 1 ? 0 : index[added_axes + axis];
      }
      return ravel(source, input_shape);
    });
  }
  Result<TensorData> operator()(const OpKind::Slice& slice) const {
    return move_values([&](Shape index) {
      index[slice.axis] = slice.start + index[slice.axis] * slice.step;
      return ravel(index, shape(0));
    });
  }
  Result<TensorData> operator()(const OpKind::Concat& concat) const {
    return std::visit(
        [&](auto first) -> TensorData {
          using Values = decltype(first);
          std::vector<typename Values::value_type> result;
          for (std::uint64_t flat = 0; flat < element_count(output_shape()); ++flat) {
            Shape index = unravel(flat, output_shape());
            std::size_t operand = 0;
            while (index[concat.axis] >= shape(operand)[concat.axis]) {
              index[concat.axis] -= shape(operand)[concat.axis];
              ++operand;
            }
            result.push_back(std::get<Values>(data(operand))[ravel(index, shape(operand))]);
          }
          return result;
        },
        data(0));
  }
  Result<TensorData> operator()(const OpKind::Gather&) const {
    const Shape& table_shape = shape(0);
    const Shape& indices_shape = shape(1);
    const auto indices = std::get<std::span<const std::int32_t>>(data(1));
    // Every index is checked, in index order, before anything is copied.
    for (const std::int32_t row : indices) {
      if (row < 0 || static_cast<std::uint64_t>(row) >= table_shape[0]) {
        return CompileError::graph(op.name + ": index " + std::to_string(row) + " is outside [0, " +
                                   std::to_string(table_shape[0]) + ")");
      }
    }
    return move_values([&](const Shape& index) {
      const Shape position(index.begin(), index.begin() + std::ssize(indices_shape));
      Shape source{static_cast<std::uint64_t>(indices[ravel(position, indices_shape)])};
      source.insert(source.end(), index.begin() + std::ssize(indices_shape), index.end());
      return ravel(source, table_shape);
    });
  }
  Result<TensorData> operator()(const OpKind::ReduceSum& reduction) const {
    return reduce(reduction.axis, [](float sum, float x) { return sum + x; });
  }
  Result<TensorData> operator()(const OpKind::ReduceMean& reduction) const {
    Result<TensorData> sums = (*this)(OpKind::ReduceSum{reduction.axis});
    const auto extent = static_cast<float>(shape(0)[reduction.axis]);
    for (float& sum : std::get<std::vector<float>>(*sums)) {
      sum = sum / extent;
    }
    return sums;
  }
  Result<TensorData> operator()(const OpKind::ReduceMax& reduction) const {
    // NaN sticks once met; among equal values +0 is above -0.
    return reduce(reduction.axis, plain_maximum);
  }
  Result<TensorData> operator()(const OpKind::Cast& cast) const {
    if (const auto* integers = std::get_if<std::span<const std::int32_t>>(&data(0))) {
      if (cast.dtype == DType::I32) {
        return copied(data(0));
      }
      std::vector<float> result;
      for (const std::int32_t x : *integers) {
        result.push_back(static_cast<float>(x));
      }
      return TensorData{std::move(result)};
    }
    if (cast.dtype == DType::F32) {
      return copied(data(0));
    }
    // [-2^31, 2^31) holds exactly the floats whose truncation fits; NaN fails both comparisons.
    constexpr float lowest = -2147483648.0F;
    constexpr float beyond = 2147483648.0F;
    std::vector<std::int32_t> result;
    for (const float x : floats(0)) {
      if (!(x >= lowest && x < beyond)) {
        return CompileError::graph(op.name + ": " + float_text(x) + " does not fit I32");
      }
      result.push_back(static_cast<std::int32_t>(x));
    }
    return TensorData{std::move(result)};
  }
};

[[noreturn]] void refuse(const std::string& problem) {
  throw std::invalid_argument("plain_evaluate: " + problem);
}

View view_of(const TensorData& data) {
  return std::visit([](const auto& values) { return View{std::span(values)}; }, data);
}

} // namespace

Result<std::vector<TensorData>> plain_evaluate(const Graph& graph,
                                               std::span<const TensorValue> values) {
  if (const Result<void> valid = graph.validate(); !valid) {
    refuse(valid.error().message);
  }
  for (const Op& op : graph.ops) {
    std::vector<TensorType> operands;
    for (const TensorId input : op.inputs) {
      operands.push_back({graph.tensors[input.index].shape, graph.tensors[input.index].dtype});
    }
    const Result<TensorType> type = output_type(op.name, op.kind, operands);
    const Tensor& output = graph.tensors[op.output.index];
    if (!type || type->shape != output.shape || type->dtype != output.dtype) {
      refuse("op " + op.name + " does not fit its kind");
    }
  }
  // Bound values are read in place; computed ones live in `computed`, which never grows, so
  // the views into it stay valid.
  std::vector<std::optional<View>> views(graph.tensors.size());
  std::vector<TensorData> computed(graph.tensors.size());
  for (const TensorValue& value : values) {
    const Tensor& tensor = graph.tensors.at(value.tensor.index);
    const bool is_i32 = std::holds_alternative<std::span<const std::int32_t>>(value.data);
    const std::size_t size = std::visit([](auto data) { return data.size(); }, value.data);
    if (tensor.producer || views[tensor.id.index]) {
      refuse("tensor " + tensor.name + " is computed or bound twice");
    }
    if (is_i32 != (tensor.dtype == DType::I32) || size != tensor.elements()) {
      refuse("tensor " + tensor.name + " is bound to values of the wrong type or count");
    }
    views[tensor.id.index] = value.data;
  }
  for (const Op& op : graph.ops) {
    for (const TensorId input : op.inputs) {
      if (!views[input.index]) {
        refuse("no value for tensor " + graph.tensors[input.index].name);
      }
    }
    Result<TensorData> result = std::visit(PlainOperation{graph, op, views}, op.kind.value);
    if (!result) {
      return result.error();
    }
    computed[op.output.index] = *std::move(result);
    views[op.output.index] = view_of(computed[op.output.index]);
  }
  std::vector<TensorData> outputs;
  for (const TensorId output : graph.outputs) {
    if (!views[output.index]) {
      refuse("no value for tensor " + graph.tensors[output.index].name);
    }
    outputs.push_back(copied(*views[output.index]));
  }
  return outputs;
}

} // namespace orvik_compiler::testing
