// One rule per operation kind: operand count, accepted operand shapes and the output shape.

#include "op_rules.hpp"

#include "../checked_arithmetic.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <unordered_set>
#include <variant>

namespace orvik_compiler {
namespace {

using Shape = std::vector<std::uint64_t>;

/// The rule of each kind, one overload per kind with no fallback, so that a kind without a rule
/// does not compile.
struct OutputShape {
  const std::string& name;
  std::span<const Shape> operands;

  Result<Shape> operator()(const OpKind::MatMul&) const {
    if (std::optional<CompileError> error = wrong_count(2)) {
      return *std::move(error);
    }
    const Shape& a = operands[0];
    const Shape& b = operands[1];
    if (a.size() != 2 || b.size() != 2 || a[1] != b[0]) {
      return CompileError::graph(name + ": incompatible matmul " + shape_text(a) + " x " +
                                 shape_text(b));
    }
    return Shape{a[0], b[1]};
  }
  Result<Shape> operator()(const OpKind::Add&) const { return element_wise_pair(); }
  Result<Shape> operator()(const OpKind::Mul&) const { return element_wise_pair(); }
  Result<Shape> operator()(const OpKind::Reshape& reshape) const {
    if (std::optional<CompileError> error = wrong_count(1)) {
      return *std::move(error);
    }
    if (element_count(operands[0]) != element_count(reshape.shape)) {
      return CompileError::graph(name + ": reshape changes element count");
    }
    return reshape.shape;
  }
  Result<Shape> operator()(const OpKind::Transpose& transpose) const {
    if (std::optional<CompileError> error = wrong_count(1)) {
      return *std::move(error);
    }
    const Shape& source = operands[0];
    const std::vector<std::uint64_t>& permutation = transpose.permutation;
    const std::size_t rank = source.size();
    const std::unordered_set<std::uint64_t> distinct(permutation.begin(), permutation.end());
    const bool in_range = std::all_of(permutation.begin(), permutation.end(),
                                      [rank](std::uint64_t axis) { return axis < rank; });
    if (permutation.size() != rank || distinct.size() != rank || !in_range) {
      return CompileError::graph(name + ": invalid transpose permutation");
    }
    Shape shape;
    shape.reserve(rank);
    for (const std::uint64_t axis : permutation) {
      shape.push_back(source[axis]);
    }
    return shape;
  }
  Result<Shape> operator()(const OpKind::LayerNorm&) const { return same_shape(); }
  Result<Shape> operator()(const OpKind::Softmax& softmax) const {
    if (std::optional<CompileError> error = wrong_count(1)) {
      return *std::move(error);
    }
    if (softmax.axis >= operands[0].size()) {
      return CompileError::graph(name + ": softmax axis out of range");
    }
    return operands[0];
  }
  Result<Shape> operator()(const OpKind::Gelu&) const { return same_shape(); }

  std::optional<CompileError> wrong_count(std::size_t expected) const {
    if (operands.size() == expected) {
      return std::nullopt;
    }
    return CompileError::graph(name + ": expects " + std::to_string(expected) +
                               (expected == 1 ? " operand, got " : " operands, got ") +
                               std::to_string(operands.size()));
  }

  /// Two operands of one shape, which the output keeps; no broadcasting.
  Result<Shape> element_wise_pair() const {
    if (std::optional<CompileError> error = wrong_count(2)) {
      return *std::move(error);
    }
    if (operands[0] != operands[1]) {
      return CompileError::graph(name + ": binary shapes differ");
    }
    return operands[0];
  }

  /// One operand of any shape, which the output keeps.
  Result<Shape> same_shape() const {
    if (std::optional<CompileError> error = wrong_count(1)) {
      return *std::move(error);
    }
    return operands[0];
  }
};

} // namespace

std::uint64_t element_count(std::span<const std::uint64_t> shape) {
  std::uint64_t count = 1;
  for (const std::uint64_t extent : shape) {
    count = checked::multiply(count, extent, "tensor element count");
  }
  return count;
}

Result<std::vector<std::uint64_t>>
output_shape(const std::string& name, const OpKind& kind,
             std::span<const std::vector<std::uint64_t>> operands) {
  return std::visit(OutputShape{name, operands}, kind.value);
}

} // namespace orvik_compiler
