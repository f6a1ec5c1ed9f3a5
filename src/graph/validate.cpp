// Whole-graph validation.

#include "orvik_compiler/graph.hpp"

#include <algorithm>

namespace orvik_compiler {
namespace {

bool tensor_is_valid(const Tensor& tensor, std::uint64_t index) {
  const bool known_type = tensor.dtype == DType::F32 || tensor.dtype == DType::I32;
  return tensor.id.index == index && known_type && !tensor.shape.empty() &&
         std::find(tensor.shape.begin(), tensor.shape.end(), 0U) == tensor.shape.end();
}

bool op_is_valid(const Op& op, std::uint64_t index, const std::vector<Tensor>& tensors) {
  if (op.id.index != index) {
    return false;
  }
  for (const TensorId input : op.inputs) {
    if (input.index >= tensors.size()) {
      return false;
    }
  }
  if (op.output.index >= tensors.size()) {
    return false;
  }
  if (tensors[op.output.index].producer != OpId{index}) {
    return false;
  }
  // Operations are stored in an order of evaluation: every input is made by an earlier one.
  return std::none_of(op.inputs.begin(), op.inputs.end(), [&](TensorId input) {
    const std::optional<OpId>& producer = tensors[input.index].producer;
    return producer && producer->index >= index;
  });
}

} // namespace

Result<void> Graph::validate() const {
  for (std::uint64_t i = 0; i < tensors.size(); ++i) {
    if (!tensor_is_valid(tensors[i], i)) {
      return CompileError::graph("invalid tensor " + tensors[i].name);
    }
  }
  for (std::uint64_t j = 0; j < ops.size(); ++j) {
    if (!op_is_valid(ops[j], j, tensors)) {
      return CompileError::graph("invalid op " + ops[j].name);
    }
  }
  if (outputs.empty()) {
    return CompileError::graph("graph has no outputs");
  }
  return {};
}

} // namespace orvik_compiler
