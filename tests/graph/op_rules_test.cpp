// The rule of each operation kind: accepted operands and their output shape, refused operands
// and the builder's message.

#include "test_support.hpp"

#include "graph/op_rules.hpp"

#include <limits>

namespace orvik_compiler {
namespace {

using testing::expect_error;
using testing::expect_value;

using Shape = std::vector<std::uint64_t>;

TEST_CASE("each kind accepts its operands and gives the output shape", "[op_rules]") {
  struct Case {
    OpKind kind;
    std::vector<Shape> operands;
    Shape output;
  };
  const std::vector<Case> cases{
      {OpKind::MatMul{}, {{2, 3}, {3, 5}}, {2, 5}},
      {OpKind::MatMul{}, {{1, 1}, {1, 1}}, {1, 1}},
      {OpKind::Add{}, {{2, 3}, {2, 3}}, {2, 3}},
      {OpKind::Mul{}, {{4}, {4}}, {4}},
      // An empty shape is a shape like any other here; validation refuses it later.
      {OpKind::Add{}, {{}, {}}, {}},
      {OpKind::Transpose{{2, 0, 1}}, {{2, 3, 4}}, {4, 2, 3}},
      {OpKind::Transpose{{0, 1, 2}}, {{2, 3, 4}}, {2, 3, 4}},
      {OpKind::Transpose{{}}, {{}}, {}},
      {OpKind::Softmax{2}, {{2, 3, 4}}, {2, 3, 4}},
      {OpKind::Softmax{0}, {{5}}, {5}},
      {OpKind::Reshape{{6}}, {{2, 3}}, {6}},
      {OpKind::Reshape{{3, 1, 2}}, {{6}}, {3, 1, 2}},
      {OpKind::Reshape{{}}, {{1, 1}}, {}},
      {OpKind::Reshape{{0, 5}}, {{4, 0}}, {0, 5}},
      {OpKind::LayerNorm{-1.0F}, {{2, 8}}, {2, 8}},
      {OpKind::Gelu{}, {{3, 0}}, {3, 0}},
  };
  for (const Case& c : cases) {
    INFO(c.kind);
    CHECK(expect_value(output_shape("op", c.kind, c.operands)) == c.output);
  }
}

TEST_CASE("each kind refuses operands that do not fit with the builder's message", "[op_rules]") {
  struct Case {
    OpKind kind;
    std::vector<Shape> operands;
    std::string message;
  };
  const std::vector<Case> cases{
      // The three matmul tests all give one message, with both shapes written out.
      {OpKind::MatMul{}, {{2, 3}, {4, 5}}, "y: incompatible matmul [2, 3] x [4, 5]"},
      {OpKind::MatMul{}, {{2, 3, 4}, {4, 5}}, "y: incompatible matmul [2, 3, 4] x [4, 5]"},
      {OpKind::MatMul{}, {{2, 3}, {3}}, "y: incompatible matmul [2, 3] x [3]"},
      {OpKind::MatMul{}, {{}, {}}, "y: incompatible matmul [] x []"},
      // No broadcasting, not even of a size-1 axis or a missing leading axis.
      {OpKind::Add{}, {{2, 3}, {3, 2}}, "y: binary shapes differ"},
      {OpKind::Add{}, {{2, 3}, {1, 3}}, "y: binary shapes differ"},
      {OpKind::Mul{}, {{2, 3}, {3}}, "y: binary shapes differ"},
      // Wrong length, a repeated axis, an axis past the rank.
      {OpKind::Transpose{{0, 1}}, {{2, 3, 4}}, "y: invalid transpose permutation"},
      {OpKind::Transpose{{0, 0, 1}}, {{2, 3, 4}}, "y: invalid transpose permutation"},
      {OpKind::Transpose{{0, 1, 3}}, {{2, 3, 4}}, "y: invalid transpose permutation"},
      {OpKind::Transpose{{0, 1, 2, 3}}, {{2, 3, 4}}, "y: invalid transpose permutation"},
      {OpKind::Softmax{2}, {{2, 3}}, "y: softmax axis out of range"},
      {OpKind::Softmax{0}, {{}}, "y: softmax axis out of range"},
      {OpKind::Reshape{{5}}, {{2, 3}}, "y: reshape changes element count"},
      {OpKind::Reshape{{0}}, {{1}}, "y: reshape changes element count"},
  };
  for (const Case& c : cases) {
    INFO(c.kind);
    CHECK(expect_error(output_shape("y", c.kind, c.operands)) == CompileError::graph(c.message));
  }
}

TEST_CASE("an operand count other than the kind's is refused before any shape is read",
          "[op_rules]") {
  struct Case {
    OpKind kind;
    std::vector<Shape> operands;
    std::string message;
  };
  const std::vector<Case> cases{
      {OpKind::MatMul{}, {{2, 2}}, "y: expects 2 operands, got 1"},
      {OpKind::Add{}, {}, "y: expects 2 operands, got 0"},
      {OpKind::Mul{}, {{2}, {2}, {2}}, "y: expects 2 operands, got 3"},
      {OpKind::Transpose{{0}}, {{2}, {2}}, "y: expects 1 operand, got 2"},
      {OpKind::Softmax{0}, {}, "y: expects 1 operand, got 0"},
      {OpKind::Reshape{{2}}, {{2}, {2}}, "y: expects 1 operand, got 2"},
      {OpKind::LayerNorm{1e-5F}, {}, "y: expects 1 operand, got 0"},
      {OpKind::Gelu{}, {{2}, {2}}, "y: expects 1 operand, got 2"},
  };
  for (const Case& c : cases) {
    INFO(c.kind);
    CHECK(expect_error(output_shape("y", c.kind, c.operands)) == CompileError::graph(c.message));
  }
}

TEST_CASE("a reshape whose element count overflows stops instead of comparing", "[op_rules]") {
  constexpr std::uint64_t big = std::uint64_t{1} << 32U;
  CHECK_THROWS_WITH(output_shape("r", OpKind::Reshape{{big, big}}, std::vector<Shape>{{4}}),
                    "tensor element count overflows 64 bits");
  CHECK_THROWS_AS(output_shape("r", OpKind::Reshape{{4}}, std::vector<Shape>{{big, big}}),
                  std::overflow_error);
  CHECK(element_count(Shape{std::numeric_limits<std::uint64_t>::max()}) ==
        std::numeric_limits<std::uint64_t>::max());
}

TEST_CASE("the builder and the interpreter apply the same rule", "[op_rules][evaluate]") {
  // Every op the builder makes fits its rule, so the interpreter runs it; the same op with its
  // stored output shape changed by hand does not.
  Graph graph;
  const TensorId x = graph.input("x", {2, 3});
  const TensorId t = expect_value(graph.transpose("t", x, {1, 0}));
  const TensorId r = expect_value(graph.reshape("r", t, {6}));
  graph.mark_output(r);
  const std::vector<float> values(6, 1.0F);
  const TensorValue bound[] = {{x, values}};
  CHECK(evaluate(graph, bound).has_value());

  graph.tensors[t.index].shape = {2, 3};
  CHECK(expect_error(evaluate(graph, bound)) == CompileError::graph("invalid op t"));
}

} // namespace
} // namespace orvik_compiler
