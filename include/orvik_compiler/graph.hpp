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

/// The element type of a tensor; 32-bit IEEE floating point is the only one.
struct DType {
  enum Value : std::uint8_t { F32 };

  constexpr DType(Value initial = F32) : value(initial) {}

  /// Bytes per element: 4 for `F32`.
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

  using Variant = std::variant<MatMul, Add, Mul, Reshape, Transpose, LayerNorm, Softmax, Gelu>;

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
  /// The operands in order; for `MatMul` and `Add` left, then right.
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
  TensorId input(std::string name, std::vector<std::uint64_t> shape);
  /// Appends a tensor of kind `Weight` with no producer.
  TensorId weight(std::string name, std::vector<std::uint64_t> shape);

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

  /// Marks a tensor as a result: its kind becomes `Output` whatever it was, and its id is
  /// appended to `outputs` (again, if it was marked before).
  void mark_output(TensorId id);

  /// Checks the graph as a whole, first failure wins: every tensor in index order ("invalid
  /// tensor {name}": wrong id, empty shape, or a zero dimension), then every op in index order
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
