#pragma once

// The tensor-operation graph: ids, tensors, operations, the builder that appends them with
// their shape rules, and whole-graph validation.

#include "orvik_compiler/debug_text.hpp"
#include "orvik_compiler/result.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace orvik_compiler {

/// Index of a tensor in `Graph::tensors`; meaningful only with the graph that issued it.
struct TensorId {
  std::uint64_t index = 0;
  friend bool operator==(TensorId, TensorId) = default;
};

/// Index of an operation in `Graph::ops`; meaningful only with the graph that issued it.
struct OpId {
  std::uint64_t index = 0;
  friend bool operator==(OpId, OpId) = default;
};

/// The element type of a tensor: 32-bit IEEE floating point or 32-bit two's-complement integer.
struct DType {
  enum Value : std::uint8_t { F32, I32 };

  constexpr DType(Value initial = F32) : value(initial) {}

  /// Bytes per element: 4 for both types.
  constexpr std::uint64_t size() const { return 4; }

  Value value;
  friend bool operator==(DType, DType) = default;
};

/// How a tensor enters the graph. `Graph::mark_output` turns any kind into `Output`.
enum class TensorKind : std::uint8_t { Input, Weight, Intermediate, Output };

struct Tensor {
  TensorId id;
  std::string name;
  DType dtype;
  std::vector<std::uint64_t> shape;
  TensorKind kind = TensorKind::Input;
  std::optional<OpId> producer;

  /// Product of the dimensions: 1 for an empty shape, 0 when a dimension is 0. Throws
  /// std::overflow_error when the product does not fit 64 bits.
  std::uint64_t elements() const;

  friend bool operator==(const Tensor&, const Tensor&) = default;
};

/// What an operation computes, with its parameters.
struct OpKind {
  struct MatMul {
    friend bool operator==(const MatMul&, const MatMul&) = default;
  };
  struct Add {
    friend bool operator==(const Add&, const Add&) = default;
  };
  struct Mul {
    friend bool operator==(const Mul&, const Mul&) = default;
  };
  struct Reshape {
    std::vector<std::uint64_t> shape;
    friend bool operator==(const Reshape&, const Reshape&) = default;
  };
  /// Output axis i is input axis `permutation[i]`.
  struct Transpose {
    std::vector<std::uint64_t> permutation;
    friend bool operator==(const Transpose&, const Transpose&) = default;
  };
  struct LayerNorm {
    float epsilon = 0.0F;
    friend bool operator==(const LayerNorm&, const LayerNorm&) = default;
  };
  struct Softmax {
    std::uint64_t axis = 0;
    friend bool operator==(const Softmax&, const Softmax&) = default;
  };
  struct Gelu {
    friend bool operator==(const Gelu&, const Gelu&) = default;
  };
  /// Matrix products of the trailing two axes, batch by batch.
  struct BatchMatMul {
    friend bool operator==(const BatchMatMul&, const BatchMatMul&) = default;
  };
  struct Sub {
    friend bool operator==(const Sub&, const Sub&) = default;
  };
  struct Div {
    friend bool operator==(const Div&, const Div&) = default;
  };
  struct Maximum {
    friend bool operator==(const Maximum&, const Maximum&) = default;
  };
  struct Minimum {
    friend bool operator==(const Minimum&, const Minimum&) = default;
  };
  struct Pow {
    friend bool operator==(const Pow&, const Pow&) = default;
  };
  struct Erf {
    friend bool operator==(const Erf&, const Erf&) = default;
  };
  struct Tanh {
    friend bool operator==(const Tanh&, const Tanh&) = default;
  };
  struct Exp {
    friend bool operator==(const Exp&, const Exp&) = default;
  };
  struct Log {
    friend bool operator==(const Log&, const Log&) = default;
  };
  struct Sqrt {
    friend bool operator==(const Sqrt&, const Sqrt&) = default;
  };
  struct Reciprocal {
    friend bool operator==(const Reciprocal&, const Reciprocal&) = default;
  };
  struct Neg {
    friend bool operator==(const Neg&, const Neg&) = default;
  };
  struct Abs {
    friend bool operator==(const Abs&, const Abs&) = default;
  };
  struct Relu {
    friend bool operator==(const Relu&, const Relu&) = default;
  };
  struct Sigmoid {
    friend bool operator==(const Sigmoid&, const Sigmoid&) = default;
  };
  /// The operand repeated to `shape` by the broadcasting rule.
  struct Broadcast {
    std::vector<std::uint64_t> shape;
    friend bool operator==(const Broadcast&, const Broadcast&) = default;
  };
  /// Elements `start`, `start + step`, ... below `stop` along `axis`.
  struct Slice {
    std::uint64_t axis = 0;
    std::uint64_t start = 0;
    std::uint64_t stop = 0;
    std::uint64_t step = 1;
    friend bool operator==(const Slice&, const Slice&) = default;
  };
  /// The operands joined along `axis`, in operand order.
  struct Concat {
    std::uint64_t axis = 0;
    friend bool operator==(const Concat&, const Concat&) = default;
  };
  /// Rows of the first operand picked by the indices of the second.
  struct Gather {
    friend bool operator==(const Gather&, const Gather&) = default;
  };
  struct ReduceSum {
    std::uint64_t axis = 0;
    friend bool operator==(const ReduceSum&, const ReduceSum&) = default;
  };
  struct ReduceMean {
    std::uint64_t axis = 0;
    friend bool operator==(const ReduceMean&, const ReduceMean&) = default;
  };
  struct ReduceMax {
    std::uint64_t axis = 0;
    friend bool operator==(const ReduceMax&, const ReduceMax&) = default;
  };
  /// The operand's values converted to `dtype`.
  struct Cast {
    DType dtype;
    friend bool operator==(const Cast&, const Cast&) = default;
  };

  /// The eight original kinds first, in their original positions.
  using Variant = std::variant<MatMul, Add, Mul, Reshape, Transpose, LayerNorm, Softmax, Gelu,
                               BatchMatMul, Sub, Div, Maximum, Minimum, Pow, Erf, Tanh, Exp, Log,
                               Sqrt, Reciprocal, Neg, Abs, Relu, Sigmoid, Broadcast, Slice, Concat,
                               Gather, ReduceSum, ReduceMean, ReduceMax, Cast>;

  OpKind() = default;
  template <class Alternative>
  requires std::is_constructible_v<Variant, Alternative&&> OpKind(Alternative&& alternative)
      : value(std::forward<Alternative>(alternative)) {}

  Variant value;
  friend bool operator==(const OpKind&, const OpKind&) = default;
};

struct Op {
  OpId id;
  std::string name;
  OpKind kind;
  /// The operands in order: left then right for the binary kinds, table then indices for
  /// `Gather`.
  std::vector<TensorId> inputs;
  TensorId output;

  friend bool operator==(const Op&, const Op&) = default;
};

/// A graph of tensors and the operations between them. A default-constructed graph is empty.
///
/// The builder methods append records and never remove or reorder them, so an id once issued
/// stays valid. A builder call that fails returns a `CompileError::Graph` and leaves the graph
/// unchanged. An operand id that names no tensor of this graph is a caller error: the computing
/// operations and `mark_output` throw std::out_of_range before touching anything. Records
/// appended or edited directly are checked by `validate` only, which applies no shape rule.
struct Graph {
  std::vector<Tensor> tensors;
  std::vector<Op> ops;
  /// The results, in the order they were marked; may repeat an id.
  std::vector<TensorId> outputs;

  /// Appends a tensor of kind `Input` with no producer. The shape is not checked here;
  /// `validate` rejects an empty shape or a zero dimension.
  TensorId input(std::string name, std::vector<std::uint64_t> shape, DType dtype = DType::F32);
  /// Appends a tensor of kind `Weight` with no producer.
  TensorId weight(std::string name, std::vector<std::uint64_t> shape, DType dtype = DType::F32);

  // Every computing operation below checks its operands' types before their shapes: data
  // movement (`reshape`, `transpose`, `broadcast`, `slice`, `concat`) takes operands of either
  // type, all of one type, and gives that type; `gather` takes a table of either type and I32
  // indices; `cast` converts; every other kind takes F32 operands only. A wrong type gives
  // "{name}: operand {i} is I32, expected F32" (or the mirror), `i` counting operands from 0;
  // operands of mixed types where one type is needed give "{name}: operand {i} is {type},
  // expected {type of operand 0}".

  /// Matrix product of two rank-2 tensors [m, k] x [k, n] giving [m, n];
  /// "{name}: incompatible matmul {a} x {b}" otherwise.
  Result<TensorId> matmul(std::string name, TensorId left, TensorId right);
  /// Element-wise sum of two tensors of equal shape; "{name}: binary shapes differ" otherwise.
  Result<TensorId> add(std::string name, TensorId left, TensorId right);
  /// Element-wise product of two tensors of equal shape; "{name}: binary shapes differ"
  /// otherwise.
  Result<TensorId> mul(std::string name, TensorId left, TensorId right);
  /// Reorders the axes: output axis i is input axis `permutation[i]`. The permutation must name
  /// every axis exactly once; "{name}: invalid transpose permutation" otherwise.
  Result<TensorId> transpose(std::string name, TensorId input,
                             std::vector<std::uint64_t> permutation);
  /// Layer normalisation over the last axis; `epsilon` is stored unchanged, nothing is tested.
  Result<TensorId> layer_norm(std::string name, TensorId input, float epsilon);
  /// Softmax along `axis`; "{name}: softmax axis out of range" when `axis` is not below the
  /// rank.
  Result<TensorId> softmax(std::string name, TensorId input, std::uint64_t axis);
  /// Element-wise GELU activation; nothing is tested.
  Result<TensorId> gelu(std::string name, TensorId input);
  /// The same elements under a new shape; "{name}: reshape changes element count" when the
  /// element counts differ. Throws std::overflow_error when the new shape's element count does
  /// not fit 64 bits.
  Result<TensorId> reshape(std::string name, TensorId input, std::vector<std::uint64_t> shape);

  /// Matrix products over leading batch axes: [b..., m, k] x [b..., k, n] gives [b..., m, n]
  /// with equal batch extents, or a rank-2 `right` [k, n] shared by every batch; `left` has rank
  /// 3 or more. "{name}: incompatible batch matmul {a} x {b}" otherwise.
  Result<TensorId> batch_matmul(std::string name, TensorId left, TensorId right);
  /// Element-wise `left - right`, `left / right`, the larger, the smaller and `powf(left,
  /// right)` of two tensors of equal shape; "{name}: binary shapes differ" otherwise.
  Result<TensorId> sub(std::string name, TensorId left, TensorId right);
  Result<TensorId> div(std::string name, TensorId left, TensorId right);
  Result<TensorId> maximum(std::string name, TensorId left, TensorId right);
  Result<TensorId> minimum(std::string name, TensorId left, TensorId right);
  Result<TensorId> pow(std::string name, TensorId left, TensorId right);
  /// Element-wise functions of one tensor, keeping its shape; no shape is refused.
  Result<TensorId> erf(std::string name, TensorId input);
  Result<TensorId> tanh(std::string name, TensorId input);
  Result<TensorId> exp(std::string name, TensorId input);
  Result<TensorId> log(std::string name, TensorId input);
  Result<TensorId> sqrt(std::string name, TensorId input);
  Result<TensorId> reciprocal(std::string name, TensorId input);
  Result<TensorId> neg(std::string name, TensorId input);
  Result<TensorId> abs(std::string name, TensorId input);
  Result<TensorId> relu(std::string name, TensorId input);
  Result<TensorId> sigmoid(std::string name, TensorId input);
  /// The input repeated to `shape`: shapes aligned at the right, each input extent equal to the
  /// target's or 1, the target's rank at least the input's; "{name}: cannot broadcast {a} to
  /// {b}" otherwise. Throws std::overflow_error when the target's element count does not fit
  /// 64 bits.
  Result<TensorId> broadcast(std::string name, TensorId input, std::vector<std::uint64_t> shape);
  /// Elements `start`, `start + step`, ... below `stop` along `axis`; needs `axis` below the
  /// rank, `step` at least 1 and `start < stop <= extent`, "{name}: invalid slice" otherwise.
  Result<TensorId> slice(std::string name, TensorId input, std::uint64_t axis, std::uint64_t start,
                         std::uint64_t stop, std::uint64_t step = 1);
  /// The inputs joined along `axis`: one or more of one rank and type, extents equal except
  /// along `axis`; "{name}: incompatible concat" otherwise.
  Result<TensorId> concat(std::string name, std::vector<TensorId> inputs, std::uint64_t axis);
  /// Rows of `table` [v, d...] picked by the I32 `indices` of any shape, giving
  /// indices.shape + [d...]; "{name}: invalid gather" when `table` has rank 0.
  Result<TensorId> gather(std::string name, TensorId table, TensorId indices);
  /// Sum, mean and maximum along `axis`, which stays with extent 1; "{name}: reduce axis out of
  /// range" unless `axis` is below the rank.
  Result<TensorId> reduce_sum(std::string name, TensorId input, std::uint64_t axis);
  Result<TensorId> reduce_mean(std::string name, TensorId input, std::uint64_t axis);
  Result<TensorId> reduce_max(std::string name, TensorId input, std::uint64_t axis);
  /// The input's values converted to `dtype`; nothing is refused.
  Result<TensorId> cast(std::string name, TensorId input, DType dtype);

  /// Marks a tensor as a result: its kind becomes `Output` whatever it was, and its id is
  /// appended to `outputs` (again, if it was marked before).
  void mark_output(TensorId id);

  /// Checks the graph as a whole, first failure wins: every tensor in index order ("invalid
  /// tensor {name}": wrong id, an element type other than F32 and I32, empty shape, or a zero
  /// dimension), then every op in index order
  /// ("invalid op {name}": wrong id, an input or output outside the tensors, an output whose
  /// producer is not this op, or an input produced by this op or a later one, so that the ops
  /// are always in an order of evaluation), then "graph has no outputs". Reads the graph only.
  Result<void> validate() const;

  friend bool operator==(const Graph&, const Graph&) = default;
};

/// Debug text, in the structural form `Name { field: value }`; ids print as TensorId(3).
std::ostream& operator<<(std::ostream& out, TensorId id);
std::ostream& operator<<(std::ostream& out, OpId id);
std::ostream& operator<<(std::ostream& out, DType dtype);
std::ostream& operator<<(std::ostream& out, TensorKind kind);
std::ostream& operator<<(std::ostream& out, const Tensor& tensor);
std::ostream& operator<<(std::ostream& out, const OpKind& kind);
std::ostream& operator<<(std::ostream& out, const Op& op);
std::ostream& operator<<(std::ostream& out, const Graph& graph);

} // namespace orvik_compiler

template <>
struct std::hash<orvik_compiler::TensorId> {
  std::size_t operator()(orvik_compiler::TensorId id) const noexcept {
    return std::hash<std::uint64_t>{}(id.index);
  }
};
