#pragma once

// Evaluating an imported model on the host: its inputs bound by name, its weights bound.

#include "onnx_test_support.hpp"

#include <orvik_compiler/evaluate.hpp>

#include <functional>
#include <numeric>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace orvik_compiler::testing {

/// A shape as ONNX models write it.
using Shape = std::vector<std::int64_t>;

/// The number of elements of `shape`.
inline std::size_t count_of(const Shape& shape) {
  return static_cast<std::size_t>(
      std::accumulate(shape.begin(), shape.end(), std::int64_t{1}, std::multiplies<>()));
}

/// The position of element `flat` of `shape` in row-major order, one index per axis.
inline Shape position_of(std::size_t flat, const Shape& shape) {
  Shape position(shape.size());
  for (std::size_t axis = shape.size(); axis-- > 0;) {
    const auto extent = static_cast<std::size_t>(shape[axis]);
    position[axis] = static_cast<std::int64_t>(flat % extent);
    flat /= extent;
  }
  return position;
}

/// Values for one input: floats for an F32 input, integers for an I32 one.
using InputData = std::variant<std::vector<float>, std::vector<std::int32_t>>;

/// The model's outputs, each of its tensor's type, with `inputs` bound to the Input tensors of
/// their names and every weight bound.
inline std::vector<TensorData>
evaluate_imported(const OnnxModel& model,
                  const std::vector<std::pair<std::string, InputData>>& inputs) {
  std::vector<TensorValue> values;
  for (const auto& [name, data] : inputs) {
    for (const Tensor& tensor : model.graph.tensors) {
      if (tensor.name != name || tensor.kind != TensorKind::Input) {
        continue;
      }
      if (const auto* floats = std::get_if<std::vector<float>>(&data)) {
        values.push_back({tensor.id, std::span<const float>(*floats)});
      } else {
        values.push_back(
            {tensor.id, std::span<const std::int32_t>(std::get<std::vector<std::int32_t>>(data))});
      }
    }
  }
  for (const WeightValues& weight : model.weights) {
    values.push_back(weight.binding());
  }
  return expect_value(evaluate_typed(model.graph, values));
}

} // namespace orvik_compiler::testing
