// One rule per operation kind: operand count, accepted operand types and shapes, and the output
// type.

#include "op_rules.hpp"

#include "../checked_arithmetic.hpp"

#include <algorithm>
#include <optional>
#include <sstream>
#include <string>
#include <unordered_set>
#include <variant>

namespace orvik_compiler {
namespace {

using Shape = std::vector<std::uint64_t>;

/// The rule of each kind, one overload per kind with no fallback, so that a kind without a rule
/// does not compile. Each rule checks the operand count, then the types, then the shapes.
struct OutputType {
  const std::string& name;
  std::span<const TensorType> operands;

  Result<TensorType> operator()(const OpKind::MatMul&) const {
    if (std::optional<CompileError> error = check_operands(2, all_f32)) {
      return *std::move(error);
    }
    const Shape& a = operands[0].shape;
    const Shape& b = operands[1].shape;
    if (a.size() != 2 || b.size() != 2 || a[1] != b[0]) {
      return CompileError::graph(name + ": incompatible matmul " + shape_text(a) + " x " +
                                 shape_text(b));
    }
    return f32(Shape{a[0], b[1]});
  }
  Result<TensorType> operator()(const OpKind::Add&) const { return element_wise_pair(); }
  Result<TensorType> operator()(const OpKind::Mul&) const { return element_wise_pair(); }
  Result<TensorType> operator()(const OpKind::Reshape& reshape) const {
    if (std::optional<CompileError> error = check_operands(1, any_type)) {
      return *std::move(error);
    }
    if (element_count(operands[0].shape) != element_count(reshape.shape)) {
      return CompileError::graph(name + ": reshape changes element count");
    }
    return TensorType{reshape.shape, operands[0].dtype};
  }
  Result<TensorType> operator()(const OpKind::Transpose& transpose) const {
    if (std::optional<CompileError> error = check_operands(1, any_type)) {
      return *std::move(error);
    }
    const Shape& source = operands[0].shape;
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
    return TensorType{std::move(shape), operands[0].dtype};
  }
  Result<TensorType> operator()(const OpKind::LayerNorm&) const { return element_wise(); }
  Result<TensorType> operator()(const OpKind::Softmax& softmax) const {
    if (std::optional<CompileError> error = check_operands(1, all_f32)) {
      return *std::move(error);
    }
    if (softmax.axis >= operands[0].shape.size()) {
      return CompileError::graph(name + ": softmax axis out of range");
    }
    return operands[0];
  }
  Result<TensorType> operator()(const OpKind::Gelu&) const { return element_wise(); }
  Result<TensorType> operator()(const OpKind::BatchMatMul&) const {
    if (std::optional<CompileError> error = check_operands(2, all_f32)) {
      return *std::move(error);
    }
    const Shape& a = operands[0].shape;
    const Shape& b = operands[1].shape;
    const bool shared_right = b.size() == 2;
    // Called only once `left` has rank 3 or more, so that its batch axes exist.
    const auto batched_right = [&a, &b] {
      return b.size() == a.size() && std::equal(a.begin(), a.end() - 2, b.begin());
    };
    if (a.size() < 3 || !(shared_right || batched_right()) || a.back() != b[b.size() - 2]) {
      return CompileError::graph(name + ": incompatible batch matmul " + shape_text(a) + " x " +
                                 shape_text(b));
    }
    Shape shape(a.begin(), a.end() - 1);
    shape.push_back(b.back());
    return f32(std::move(shape));
  }
  Result<TensorType> operator()(const OpKind::Sub&) const { return element_wise_pair(); }
  Result<TensorType> operator()(const OpKind::Div&) const { return element_wise_pair(); }
  Result<TensorType> operator()(const OpKind::Maximum&) const { return element_wise_pair(); }
  Result<TensorType> operator()(const OpKind::Minimum&) const { return element_wise_pair(); }
  Result<TensorType> operator()(const OpKind::Pow&) const { return element_wise_pair(); }
  Result<TensorType> operator()(const OpKind::Erf&) const { return element_wise(); }
  Result<TensorType> operator()(const OpKind::Tanh&) const { return element_wise(); }
  Result<TensorType> operator()(const OpKind::Exp&) const { return element_wise(); }
  Result<TensorType> operator()(const OpKind::Log&) const { return element_wise(); }
  Result<TensorType> operator()(const OpKind::Sqrt&) const { return element_wise(); }
  Result<TensorType> operator()(const OpKind::Reciprocal&) const { return element_wise(); }
  Result<TensorType> operator()(const OpKind::Neg&) const { return element_wise(); }
  Result<TensorType> operator()(const OpKind::Abs&) const { return element_wise(); }
  Result<TensorType> operator()(const OpKind::Relu&) const { return element_wise(); }
  Result<TensorType> operator()(const OpKind::Sigmoid&) const { return element_wise(); }
  Result<TensorType> operator()(const OpKind::Broadcast& broadcast) const {
    if (std::optional<CompileError> error = check_operands(1, any_type)) {
      return *std::move(error);
    }
    const Shape& source = operands[0].shape;
    const Shape& target = broadcast.shape;
    element_count(target); // a target whose element count overflows throws here
    bool fits = target.size() >= source.size();
    for (std::size_t i = 1; fits && i <= source.size(); ++i) {
      const std::uint64_t extent = source[source.size() - i];
      fits = extent == 1 || extent == target[target.size() - i];
    }
    if (!fits) {
      return CompileError::graph(name + ": cannot broadcast " + shape_text(source) + " to " +
                                 shape_text(target));
    }
    return TensorType{target, operands[0].dtype};
  }
  Result<TensorType> operator()(const OpKind::Slice& slice) const {
    if (std::optional<CompileError> error = check_operands(1, any_type)) {
      return *std::move(error);
    }
    Shape shape = operands[0].shape;
    if (slice.axis >= shape.size() || slice.step == 0 || slice.start >= slice.stop ||
        slice.stop > shape[slice.axis]) {
      return CompileError::graph(name + ": invalid slice");
    }
    shape[slice.axis] = (slice.stop - slice.start - 1) / slice.step + 1;
    return TensorType{std::move(shape), operands[0].dtype};
  }
  Result<TensorType> operator()(const OpKind::Concat& concat) const {
    const auto incompatible = [this] {
      return CompileError::graph(name + ": incompatible concat");
    };
    if (operands.empty()) {
      return incompatible();
    }
    if (std::optional<CompileError> error = check_types(any_type)) {
      return *std::move(error);
    }
    Shape shape = operands[0].shape;
    if (concat.axis >= shape.size()) {
      return incompatible();
    }
    for (std::size_t i = 1; i < operands.size(); ++i) {
      const Shape& other = operands[i].shape;
      if (other.size() != shape.size()) {
        return incompatible();
      }
      for (std::size_t axis = 0; axis < shape.size(); ++axis) {
        if (axis != concat.axis && other[axis] != shape[axis]) {
          return incompatible();
        }
      }
      shape[concat.axis] = checked::add(shape[concat.axis], other[concat.axis], "concat extent");
    }
    return TensorType{std::move(shape), operands[0].dtype};
  }
  Result<TensorType> operator()(const OpKind::Gather&) const {
    if (std::optional<CompileError> error = check_operands(2, table_and_indices)) {
      return *std::move(error);
    }
    const Shape& table = operands[0].shape;
    if (table.empty()) {
      return CompileError::graph(name + ": invalid gather");
    }
    Shape shape = operands[1].shape;
    shape.insert(shape.end(), table.begin() + 1, table.end());
    return TensorType{std::move(shape), operands[0].dtype};
  }
  Result<TensorType> operator()(const OpKind::ReduceSum& reduce) const {
    return reduction(reduce.axis);
  }
  Result<TensorType> operator()(const OpKind::ReduceMean& reduce) const {
    return reduction(reduce.axis);
  }
  Result<TensorType> operator()(const OpKind::ReduceMax& reduce) const {
    return reduction(reduce.axis);
  }
  Result<TensorType> operator()(const OpKind::Cast& cast) const {
    if (std::optional<CompileError> error = check_operands(1, any_type)) {
      return *std::move(error);
    }
    return TensorType{operands[0].shape, cast.dtype};
  }

private:
  /// Which operand types a kind takes.
  enum Types { all_f32, any_type, table_and_indices };

  static TensorType f32(Shape shape) { return TensorType{std::move(shape), DType::F32}; }

  std::optional<CompileError> check_operands(std::size_t expected, Types types) const {
    if (operands.size() != expected) {
      return CompileError::graph(name + ": expects " + std::to_string(expected) +
                                 (expected == 1 ? " operand, got " : " operands, got ") +
                                 std::to_string(operands.size()));
    }
    return check_types(types);
  }

  /// `any_type` asks every operand to have the first one's type.
  std::optional<CompileError> check_types(Types types) const {
    for (std::size_t i = 0; i < operands.size(); ++i) {
      DType expected = DType::F32;
      if (types == any_type || (types == table_and_indices && i == 0)) {
        expected = operands[0].dtype;
      } else if (types == table_and_indices) {
        expected = DType::I32;
      }
      if (operands[i].dtype != expected) {
        std::ostringstream message;
        message << name << ": operand " << i << " is " << operands[i].dtype << ", expected "
                << expected;
        return CompileError::graph(message.str());
      }
    }
    return std::nullopt;
  }

  /// Two F32 operands of one shape, which the output keeps; no broadcasting.
  Result<TensorType> element_wise_pair() const {
    if (std::optional<CompileError> error = check_operands(2, all_f32)) {
      return *std::move(error);
    }
    if (operands[0].shape != operands[1].shape) {
      return CompileError::graph(name + ": binary shapes differ");
    }
    return operands[0];
  }

  /// One F32 operand of any shape, which the output keeps.
  Result<TensorType> element_wise() const {
    if (std::optional<CompileError> error = check_operands(1, all_f32)) {
      return *std::move(error);
    }
    return operands[0];
  }

  /// One F32 operand whose `axis` is kept with extent 1.
  Result<TensorType> reduction(std::uint64_t axis) const {
    if (std::optional<CompileError> error = check_operands(1, all_f32)) {
      return *std::move(error);
    }
    Shape shape = operands[0].shape;
    if (axis >= shape.size()) {
      return CompileError::graph(name + ": reduce axis out of range");
    }
    shape[axis] = 1;
    return f32(std::move(shape));
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

Result<TensorType> output_type(const std::string& name, const OpKind& kind,
                               std::span<const TensorType> operands) {
  return std::visit(OutputType{name, operands}, kind.value);
}

} // namespace orvik_compiler
