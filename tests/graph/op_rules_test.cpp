// The rule of each operation kind: accepted operands and their output type, refused operands
// and the builder's message.

#include "test_support.hpp"

#include "graph/op_rules.hpp"

#include <limits>
#include <set>

namespace orvik_compiler {
namespace {

using testing::expect_error;
using testing::expect_value;

using Shape = std::vector<std::uint64_t>;

TensorType f32(Shape shape) {
  return TensorType{std::move(shape), DType::F32};
}
TensorType i32(Shape shape) {
  return TensorType{std::move(shape), DType::I32};
}

/// The error of the rule of `kind` over `operands`, for an op named "y".
CompileError refusal(const OpKind& kind, const std::vector<TensorType>& operands) {
  return expect_error(output_type("y", kind, operands));
}

TEST_CASE("each kind accepts its operands and gives the output type", "[op_rules]") {
  struct Case {
    OpKind kind;
    std::vector<TensorType> operands;
    TensorType output;
  };
  const std::vector<Case> cases{
      {OpKind::MatMul{}, {f32({2, 3}), f32({3, 5})}, f32({2, 5})},
      {OpKind::MatMul{}, {f32({1, 1}), f32({1, 1})}, f32({1, 1})},
      {OpKind::Add{}, {f32({2, 3}), f32({2, 3})}, f32({2, 3})},
      {OpKind::Mul{}, {f32({4}), f32({4})}, f32({4})},
      // An empty shape is a shape like any other here; validation refuses it later.
      {OpKind::Add{}, {f32({}), f32({})}, f32({})},
      {OpKind::Transpose{{2, 0, 1}}, {f32({2, 3, 4})}, f32({4, 2, 3})},
      {OpKind::Transpose{{0, 1, 2}}, {f32({2, 3, 4})}, f32({2, 3, 4})},
      {OpKind::Transpose{{}}, {f32({})}, f32({})},
      {OpKind::Transpose{{1, 0}}, {i32({2, 3})}, i32({3, 2})},
      {OpKind::Softmax{2}, {f32({2, 3, 4})}, f32({2, 3, 4})},
      {OpKind::Softmax{0}, {f32({5})}, f32({5})},
      {OpKind::Reshape{{6}}, {f32({2, 3})}, f32({6})},
      {OpKind::Reshape{{3, 1, 2}}, {f32({6})}, f32({3, 1, 2})},
      {OpKind::Reshape{{}}, {f32({1, 1})}, f32({})},
      {OpKind::Reshape{{0, 5}}, {f32({4, 0})}, f32({0, 5})},
      {OpKind::Reshape{{2, 2}}, {i32({4})}, i32({2, 2})},
      {OpKind::LayerNorm{-1.0F}, {f32({2, 8})}, f32({2, 8})},
      {OpKind::Gelu{}, {f32({3, 0})}, f32({3, 0})},
      // Equal batch axes, or a rank-2 right shared by every batch.
      {OpKind::BatchMatMul{}, {f32({2, 3, 4}), f32({2, 4, 5})}, f32({2, 3, 5})},
      {OpKind::BatchMatMul{}, {f32({2, 3, 4}), f32({4, 5})}, f32({2, 3, 5})},
      {OpKind::BatchMatMul{}, {f32({2, 6, 3, 4}), f32({2, 6, 4, 1})}, f32({2, 6, 3, 1})},
      {OpKind::BatchMatMul{}, {f32({2, 6, 3, 4}), f32({4, 7})}, f32({2, 6, 3, 7})},
      {OpKind::Sub{}, {f32({2, 3}), f32({2, 3})}, f32({2, 3})},
      {OpKind::Div{}, {f32({7}), f32({7})}, f32({7})},
      {OpKind::Maximum{}, {f32({1, 2, 3}), f32({1, 2, 3})}, f32({1, 2, 3})},
      {OpKind::Minimum{}, {f32({0}), f32({0})}, f32({0})},
      {OpKind::Pow{}, {f32({4, 1}), f32({4, 1})}, f32({4, 1})},
      {OpKind::Erf{}, {f32({2, 3})}, f32({2, 3})},
      {OpKind::Tanh{}, {f32({5})}, f32({5})},
      {OpKind::Exp{}, {f32({})}, f32({})},
      {OpKind::Log{}, {f32({3, 0})}, f32({3, 0})},
      {OpKind::Sqrt{}, {f32({1, 1, 1})}, f32({1, 1, 1})},
      {OpKind::Reciprocal{}, {f32({8})}, f32({8})},
      {OpKind::Neg{}, {f32({2, 2})}, f32({2, 2})},
      {OpKind::Abs{}, {f32({9})}, f32({9})},
      {OpKind::Relu{}, {f32({4, 4})}, f32({4, 4})},
      {OpKind::Sigmoid{}, {f32({3})}, f32({3})},
      // Aligned at the right: an extent 1 repeats, missing leading axes are added.
      {OpKind::Broadcast{{4, 3}}, {f32({1, 3})}, f32({4, 3})},
      {OpKind::Broadcast{{2, 5}}, {f32({2, 1})}, f32({2, 5})},
      {OpKind::Broadcast{{2, 3}}, {f32({3})}, f32({2, 3})},
      {OpKind::Broadcast{{2, 3, 4}}, {f32({1})}, f32({2, 3, 4})},
      {OpKind::Broadcast{{5, 2, 3}}, {i32({1, 3})}, i32({5, 2, 3})},
      {OpKind::Broadcast{{2, 3}}, {f32({2, 3})}, f32({2, 3})},
      {OpKind::Broadcast{{2, 2}}, {f32({})}, f32({2, 2})},
      {OpKind::Broadcast{{0}}, {f32({1})}, f32({0})},
      // Elements start, start + step, ... below stop: the last step need not land on stop.
      {OpKind::Slice{0, 0, 10, 2}, {f32({10})}, f32({5})},
      {OpKind::Slice{0, 0, 10, 3}, {f32({10})}, f32({4})},
      {OpKind::Slice{0, 0, 9, 3}, {f32({10})}, f32({3})},
      {OpKind::Slice{0, 0, 7, 3}, {f32({10})}, f32({3})},
      {OpKind::Slice{0, 1, 10, 3}, {f32({10})}, f32({3})},
      {OpKind::Slice{0, 2, 3, 5}, {f32({10})}, f32({1})},
      {OpKind::Slice{0, 9, 10, 1}, {f32({10})}, f32({1})},
      {OpKind::Slice{1, 0, 4, 1}, {f32({2, 6, 3})}, f32({2, 4, 3})},
      {OpKind::Slice{2, 1, 3, 2}, {i32({2, 6, 3})}, i32({2, 6, 1})},
      {OpKind::Concat{1}, {f32({2, 3}), f32({2, 4})}, f32({2, 7})},
      {OpKind::Concat{0}, {f32({1, 3}), f32({2, 3}), f32({3, 3})}, f32({6, 3})},
      {OpKind::Concat{0}, {f32({2, 3})}, f32({2, 3})},
      {OpKind::Concat{0}, {i32({4}), i32({4})}, i32({8})},
      {OpKind::Concat{1}, {f32({2, 0}), f32({2, 5})}, f32({2, 5})},
      // The result is indices.shape followed by the table's row shape, of the table's type.
      {OpKind::Gather{}, {f32({10, 4}), i32({2, 3})}, f32({2, 3, 4})},
      {OpKind::Gather{}, {f32({10, 4, 2}), i32({3})}, f32({3, 4, 2})},
      {OpKind::Gather{}, {i32({10}), i32({5})}, i32({5})},
      {OpKind::Gather{}, {f32({10, 4}), i32({})}, f32({4})},
      {OpKind::ReduceSum{0}, {f32({2, 3})}, f32({1, 3})},
      {OpKind::ReduceMean{1}, {f32({2, 3})}, f32({2, 1})},
      {OpKind::ReduceMax{0}, {f32({5})}, f32({1})},
      {OpKind::ReduceSum{2}, {f32({2, 3, 4})}, f32({2, 3, 1})},
      {OpKind::Cast{DType::I32}, {f32({2, 3})}, i32({2, 3})},
      {OpKind::Cast{DType::F32}, {i32({2, 3})}, f32({2, 3})},
      {OpKind::Cast{DType::F32}, {f32({4})}, f32({4})},
      {OpKind::Cast{DType::I32}, {i32({})}, i32({})},
  };
  std::set<std::size_t> kinds_seen;
  for (const Case& c : cases) {
    INFO(c.kind);
    CHECK(expect_value(output_type("op", c.kind, c.operands)) == c.output);
    kinds_seen.insert(c.kind.value.index());
  }
  CHECK(kinds_seen.size() == std::variant_size_v<OpKind::Variant>);
}

TEST_CASE("each kind refuses operands that do not fit with the builder's message", "[op_rules]") {
  struct Case {
    OpKind kind;
    std::vector<TensorType> operands;
    std::string message;
  };
  const std::vector<Case> cases{
      // The three matmul tests all give one message, with both shapes written out.
      {OpKind::MatMul{}, {f32({2, 3}), f32({4, 5})}, "y: incompatible matmul [2, 3] x [4, 5]"},
      {OpKind::MatMul{},
       {f32({2, 3, 4}), f32({4, 5})},
       "y: incompatible matmul [2, 3, 4] x [4, 5]"},
      {OpKind::MatMul{}, {f32({2, 3}), f32({3})}, "y: incompatible matmul [2, 3] x [3]"},
      {OpKind::MatMul{}, {f32({}), f32({})}, "y: incompatible matmul [] x []"},
      // No broadcasting, not even of a size-1 axis or a missing leading axis.
      {OpKind::Add{}, {f32({2, 3}), f32({3, 2})}, "y: binary shapes differ"},
      {OpKind::Add{}, {f32({2, 3}), f32({1, 3})}, "y: binary shapes differ"},
      {OpKind::Mul{}, {f32({2, 3}), f32({3})}, "y: binary shapes differ"},
      {OpKind::Sub{}, {f32({2, 3}), f32({3, 2})}, "y: binary shapes differ"},
      {OpKind::Div{}, {f32({2, 3}), f32({1, 3})}, "y: binary shapes differ"},
      {OpKind::Maximum{}, {f32({4}), f32({1})}, "y: binary shapes differ"},
      {OpKind::Minimum{}, {f32({2, 3}), f32({3})}, "y: binary shapes differ"},
      {OpKind::Pow{}, {f32({}), f32({1})}, "y: binary shapes differ"},
      // Wrong length, a repeated axis, an axis past the rank.
      {OpKind::Transpose{{0, 1}}, {f32({2, 3, 4})}, "y: invalid transpose permutation"},
      {OpKind::Transpose{{0, 0, 1}}, {f32({2, 3, 4})}, "y: invalid transpose permutation"},
      {OpKind::Transpose{{0, 1, 3}}, {f32({2, 3, 4})}, "y: invalid transpose permutation"},
      {OpKind::Transpose{{0, 1, 2, 3}}, {f32({2, 3, 4})}, "y: invalid transpose permutation"},
      {OpKind::Softmax{2}, {f32({2, 3})}, "y: softmax axis out of range"},
      {OpKind::Softmax{0}, {f32({})}, "y: softmax axis out of range"},
      {OpKind::Reshape{{5}}, {f32({2, 3})}, "y: reshape changes element count"},
      {OpKind::Reshape{{0}}, {f32({1})}, "y: reshape changes element count"},
      // Batches that differ or broadcast, a left of rank 2 or less, inner extents that differ,
      // a right of rank 1 or of another rank than the left's.
      {OpKind::BatchMatMul{},
       {f32({2, 3, 4}), f32({3, 4, 5})},
       "y: incompatible batch matmul [2, 3, 4] x [3, 4, 5]"},
      {OpKind::BatchMatMul{},
       {f32({1, 3, 4}), f32({2, 4, 5})},
       "y: incompatible batch matmul [1, 3, 4] x [2, 4, 5]"},
      {OpKind::BatchMatMul{},
       {f32({3, 4}), f32({4, 5})},
       "y: incompatible batch matmul [3, 4] x [4, 5]"},
      {OpKind::BatchMatMul{},
       {f32({2, 3, 4}), f32({2, 5, 6})},
       "y: incompatible batch matmul [2, 3, 4] x [2, 5, 6]"},
      {OpKind::BatchMatMul{},
       {f32({2, 3, 4}), f32({5, 6})},
       "y: incompatible batch matmul [2, 3, 4] x [5, 6]"},
      {OpKind::BatchMatMul{},
       {f32({2, 3, 4}), f32({4})},
       "y: incompatible batch matmul [2, 3, 4] x [4]"},
      {OpKind::BatchMatMul{},
       {f32({2, 2, 3, 4}), f32({2, 4, 5})},
       "y: incompatible batch matmul [2, 2, 3, 4] x [2, 4, 5]"},
      {OpKind::BatchMatMul{}, {f32({4}), f32({4})}, "y: incompatible batch matmul [4] x [4]"},
      {OpKind::BatchMatMul{}, {f32({}), f32({})}, "y: incompatible batch matmul [] x []"},
      {OpKind::BatchMatMul{}, {f32({}), f32({2, 3})}, "y: incompatible batch matmul [] x [2, 3]"},
      // An extent other than 1 that differs, a target of lower rank, an extent 0 is no 1.
      {OpKind::Broadcast{{4}}, {f32({3})}, "y: cannot broadcast [3] to [4]"},
      {OpKind::Broadcast{{3}}, {f32({2, 3})}, "y: cannot broadcast [2, 3] to [3]"},
      {OpKind::Broadcast{{3, 2}}, {f32({2, 3})}, "y: cannot broadcast [2, 3] to [3, 2]"},
      {OpKind::Broadcast{{2, 3, 1}}, {f32({2, 3})}, "y: cannot broadcast [2, 3] to [2, 3, 1]"},
      {OpKind::Broadcast{{}}, {i32({1})}, "y: cannot broadcast [1] to []"},
      {OpKind::Broadcast{{1}}, {f32({0})}, "y: cannot broadcast [0] to [1]"},
      // An axis at or past the rank, step 0, start at or past stop, stop past the extent.
      {OpKind::Slice{2, 0, 1, 1}, {f32({2, 3})}, "y: invalid slice"},
      {OpKind::Slice{0, 0, 1, 1}, {f32({})}, "y: invalid slice"},
      {OpKind::Slice{0, 0, 2, 0}, {f32({2, 3})}, "y: invalid slice"},
      {OpKind::Slice{1, 2, 2, 1}, {f32({2, 3})}, "y: invalid slice"},
      {OpKind::Slice{1, 3, 2, 1}, {f32({2, 3})}, "y: invalid slice"},
      {OpKind::Slice{1, 0, 4, 1}, {i32({2, 3})}, "y: invalid slice"},
      {OpKind::Slice{0, 0, 0, 1}, {f32({0})}, "y: invalid slice"},
      // No operands, ranks that differ, an extent off the axis that differs, an axis past the
      // rank.
      {OpKind::Concat{0}, {}, "y: incompatible concat"},
      {OpKind::Concat{0}, {f32({2, 3}), f32({2})}, "y: incompatible concat"},
      {OpKind::Concat{0}, {f32({2, 3}), f32({2, 3, 1})}, "y: incompatible concat"},
      {OpKind::Concat{1}, {f32({2, 3}), f32({3, 3})}, "y: incompatible concat"},
      {OpKind::Concat{0}, {f32({2, 3}), f32({2, 3}), f32({2, 4})}, "y: incompatible concat"},
      {OpKind::Concat{2}, {f32({2, 3}), f32({2, 3})}, "y: incompatible concat"},
      {OpKind::Concat{0}, {f32({})}, "y: incompatible concat"},
      {OpKind::Gather{}, {f32({}), i32({3})}, "y: invalid gather"},
      {OpKind::ReduceSum{2}, {f32({2, 3})}, "y: reduce axis out of range"},
      {OpKind::ReduceMean{1}, {f32({4})}, "y: reduce axis out of range"},
      {OpKind::ReduceMax{0}, {f32({})}, "y: reduce axis out of range"},
  };
  for (const Case& c : cases) {
    INFO(c.kind);
    CHECK(refusal(c.kind, c.operands) == CompileError::graph(c.message));
  }
}

TEST_CASE("operand types are checked before shapes, naming the first operand of a wrong type",
          "[op_rules]") {
  struct Case {
    OpKind kind;
    std::vector<TensorType> operands;
    std::string message;
  };
  const std::string left_i32 = "y: operand 0 is I32, expected F32";
  const std::string right_i32 = "y: operand 1 is I32, expected F32";
  // Shapes that the kind would refuse too, so that a type check run after the shape check shows.
  const std::vector<Case> cases{
      {OpKind::MatMul{}, {i32({2, 3}), f32({4, 5})}, left_i32},
      {OpKind::MatMul{}, {f32({2, 3}), i32({4, 5})}, right_i32},
      {OpKind::Add{}, {f32({2}), i32({3})}, right_i32},
      {OpKind::Mul{}, {i32({2}), i32({3})}, left_i32},
      {OpKind::LayerNorm{1e-5F}, {i32({2, 8})}, left_i32},
      {OpKind::Softmax{5}, {i32({2})}, left_i32},
      {OpKind::Gelu{}, {i32({2})}, left_i32},
      {OpKind::BatchMatMul{}, {f32({2, 3, 4}), i32({5})}, right_i32},
      {OpKind::Sub{}, {i32({2}), f32({3})}, left_i32},
      {OpKind::Div{}, {f32({2}), i32({3})}, right_i32},
      {OpKind::Maximum{}, {f32({2}), i32({3})}, right_i32},
      {OpKind::Minimum{}, {i32({2}), f32({2})}, left_i32},
      {OpKind::Pow{}, {f32({2}), i32({2})}, right_i32},
      {OpKind::Erf{}, {i32({2})}, left_i32},
      {OpKind::Tanh{}, {i32({2})}, left_i32},
      {OpKind::Exp{}, {i32({2})}, left_i32},
      {OpKind::Log{}, {i32({2})}, left_i32},
      {OpKind::Sqrt{}, {i32({2})}, left_i32},
      {OpKind::Reciprocal{}, {i32({2})}, left_i32},
      {OpKind::Neg{}, {i32({2})}, left_i32},
      {OpKind::Abs{}, {i32({2})}, left_i32},
      {OpKind::Relu{}, {i32({2})}, left_i32},
      {OpKind::Sigmoid{}, {i32({2})}, left_i32},
      {OpKind::ReduceSum{3}, {i32({2})}, left_i32},
      {OpKind::ReduceMean{3}, {i32({2})}, left_i32},
      {OpKind::ReduceMax{3}, {i32({2})}, left_i32},
      // Operands of one type: the first that differs from operand 0 is named.
      {OpKind::Concat{5}, {f32({2}), i32({3})}, right_i32},
      {OpKind::Concat{0}, {i32({2}), i32({2}), f32({2})}, "y: operand 2 is F32, expected I32"},
      // Indices must be I32 whatever the table's type.
      {OpKind::Gather{}, {f32({}), f32({3})}, "y: operand 1 is F32, expected I32"},
      {OpKind::Gather{}, {i32({4, 2}), f32({3})}, "y: operand 1 is F32, expected I32"},
  };
  for (const Case& c : cases) {
    INFO(c.kind);
    CHECK(refusal(c.kind, c.operands) == CompileError::graph(c.message));
  }
}

TEST_CASE("an operand count other than the kind's is refused before any type or shape is read",
          "[op_rules]") {
  struct Case {
    OpKind kind;
    std::vector<TensorType> operands;
    std::string message;
  };
  const std::vector<Case> cases{
      {OpKind::MatMul{}, {f32({2, 2})}, "y: expects 2 operands, got 1"},
      {OpKind::Add{}, {}, "y: expects 2 operands, got 0"},
      {OpKind::Mul{}, {f32({2}), f32({2}), f32({2})}, "y: expects 2 operands, got 3"},
      {OpKind::Transpose{{0}}, {f32({2}), f32({2})}, "y: expects 1 operand, got 2"},
      {OpKind::Softmax{0}, {}, "y: expects 1 operand, got 0"},
      {OpKind::Reshape{{2}}, {f32({2}), f32({2})}, "y: expects 1 operand, got 2"},
      {OpKind::LayerNorm{1e-5F}, {}, "y: expects 1 operand, got 0"},
      {OpKind::Gelu{}, {f32({2}), f32({2})}, "y: expects 1 operand, got 2"},
      {OpKind::BatchMatMul{}, {i32({2, 2, 2})}, "y: expects 2 operands, got 1"},
      {OpKind::Pow{}, {f32({2}), f32({2}), f32({2})}, "y: expects 2 operands, got 3"},
      {OpKind::Sigmoid{}, {i32({2}), f32({2})}, "y: expects 1 operand, got 2"},
      {OpKind::Broadcast{{2}}, {}, "y: expects 1 operand, got 0"},
      {OpKind::Slice{0, 0, 1, 1}, {f32({2}), i32({2})}, "y: expects 1 operand, got 2"},
      {OpKind::Gather{}, {f32({4, 2})}, "y: expects 2 operands, got 1"},
      {OpKind::Gather{}, {f32({4}), i32({1}), i32({1})}, "y: expects 2 operands, got 3"},
      {OpKind::ReduceMax{0}, {f32({2}), f32({2})}, "y: expects 1 operand, got 2"},
      {OpKind::Cast{DType::I32}, {}, "y: expects 1 operand, got 0"},
  };
  for (const Case& c : cases) {
    INFO(c.kind);
    CHECK(refusal(c.kind, c.operands) == CompileError::graph(c.message));
  }
}

TEST_CASE("an element count that overflows stops instead of comparing", "[op_rules]") {
  constexpr std::uint64_t big = std::uint64_t{1} << 32U;
  const std::vector<TensorType> small{f32({4})};
  CHECK_THROWS_WITH(output_type("r", OpKind::Reshape{{big, big}}, small),
                    "tensor element count overflows 64 bits");
  CHECK_THROWS_AS(output_type("r", OpKind::Reshape{{4}}, std::vector<TensorType>{f32({big, big})}),
                  std::overflow_error);
  // A broadcast target that fits the rule but not 64 bits.
  CHECK_THROWS_WITH(
      output_type("b", OpKind::Broadcast{{big, big}}, std::vector<TensorType>{f32({1})}),
      "tensor element count overflows 64 bits");
  CHECK(expect_value(output_type("b", OpKind::Broadcast{{big, big / 2}},
                                 std::vector<TensorType>{f32({1})})) == f32({big, big / 2}));
  CHECK(element_count(Shape{std::numeric_limits<std::uint64_t>::max()}) ==
        std::numeric_limits<std::uint64_t>::max());
}

TEST_CASE("the builder and the interpreter apply the same rule", "[op_rules][evaluate]") {
  // Every op the builder makes fits its rule, so the interpreter runs it; the same op with its
  // stored output shape or type changed by hand does not.
  Graph graph;
  const TensorId x = graph.input("x", {2, 3});
  const TensorId t = expect_value(graph.transpose("t", x, {1, 0}));
  const TensorId r = expect_value(graph.reshape("r", t, {6}));
  graph.mark_output(r);
  const std::vector<float> values(6, 1.0F);
  const TensorValue bound[] = {{x, values}};
  CHECK(evaluate(graph, bound).has_value());

  Graph reshaped = graph;
  reshaped.tensors[t.index].shape = {2, 3};
  CHECK(expect_error(evaluate(reshaped, bound)) == CompileError::graph("invalid op t"));
  Graph retyped = graph;
  retyped.tensors[t.index].dtype = DType::I32;
  CHECK(expect_error(evaluate(retyped, bound)) == CompileError::graph("invalid op t"));
}

} // namespace
} // namespace orvik_compiler
