// The builder: ids, shape rules, messages and the unchanged graph after a failed call.

#include "test_support.hpp"

namespace orvik_compiler {
namespace {

using testing::expect_error;
using testing::expect_value;

TEST_CASE("builder calls issue ids in call order, the output tensor before its op", "[builder]") {
  Graph graph;
  CHECK(graph == Graph{});
  const TensorId x = graph.input("x", {2, 3});
  const TensorId w = graph.weight("w", {3, 5});
  const TensorId y = expect_value(graph.matmul("y", x, w));
  CHECK(x == TensorId{0});
  CHECK(y == TensorId{2});
  REQUIRE(graph.ops.size() == 1);
  const Op& op = graph.ops[0];
  CHECK(op.id == OpId{0});
  CHECK(op.name == "y");
  CHECK(op.kind == OpKind{OpKind::MatMul{}});
  CHECK(op.inputs == std::vector<TensorId>{x, w});
  CHECK(op.output == y);
  const Tensor& out = graph.tensors[y.index];
  CHECK(out.name == "y");
  CHECK(out.shape == std::vector<std::uint64_t>{2, 5});
  CHECK(out.kind == TensorKind::Intermediate);
  CHECK(out.producer == OpId{0});
  CHECK(graph.tensors[x.index].kind == TensorKind::Input);
  CHECK(graph.tensors[w.index].kind == TensorKind::Weight);
  CHECK_FALSE(graph.tensors[w.index].producer.has_value());
}

TEST_CASE("shape errors carry the builder's messages and change nothing", "[builder]") {
  Graph graph;
  const TensorId a = graph.input("a", {2, 3});
  const TensorId b = graph.input("b", {4, 5});
  const TensorId c = graph.input("c", {3, 2});
  const TensorId cube = graph.input("cube", {2, 3, 4});
  const Graph before = graph;

  struct Case {
    Result<TensorId> result;
    std::string message;
  };
  const std::vector<Case> cases{
      {graph.matmul("proj", a, b), "proj: incompatible matmul [2, 3] x [4, 5]"},
      {graph.matmul("proj", cube, a), "proj: incompatible matmul [2, 3, 4] x [2, 3]"},
      {graph.matmul("proj", a, cube), "proj: incompatible matmul [2, 3] x [2, 3, 4]"},
      {graph.add("sum", a, c), "sum: binary shapes differ"},
      {graph.mul("product", a, cube), "product: binary shapes differ"},
      {graph.transpose("t", cube, {0, 0, 1}), "t: invalid transpose permutation"},
      {graph.transpose("t", cube, {0, 1}), "t: invalid transpose permutation"},
      {graph.transpose("t", cube, {0, 1, 3}), "t: invalid transpose permutation"},
      {graph.softmax("s", a, 2), "s: softmax axis out of range"},
      {graph.reshape("r", a, {5}), "r: reshape changes element count"},
  };
  for (const Case& each : cases) {
    CHECK(expect_error(each.result) == CompileError::graph(each.message));
  }
  CHECK(graph == before);
}

TEST_CASE("valid builder calls give the shapes of their rules", "[builder]") {
  Graph graph;
  const TensorId cube = graph.input("cube", {2, 3, 4});
  const TensorId m = graph.input("m", {2, 3});

  const TensorId t = expect_value(graph.transpose("t", cube, {2, 0, 1}));
  CHECK(graph.tensors[t.index].shape == std::vector<std::uint64_t>{4, 2, 3});
  CHECK(graph.ops.back().kind == OpKind{OpKind::Transpose{{2, 0, 1}}});
  const TensorId identity = expect_value(graph.transpose("id", cube, {0, 1, 2}));
  CHECK(graph.tensors[identity.index].shape == graph.tensors[cube.index].shape);

  const TensorId s = expect_value(graph.softmax("s", m, 1));
  CHECK(graph.tensors[s.index].shape == std::vector<std::uint64_t>{2, 3});

  const TensorId doubled = expect_value(graph.add("doubled", m, m));
  CHECK(graph.ops.back().inputs == std::vector<TensorId>{m, m});
  const TensorId squared = expect_value(graph.mul("squared", doubled, doubled));
  CHECK(graph.ops.back().kind == OpKind{OpKind::Mul{}});

  for (const float epsilon : {0.0F, -1.0F}) {
    expect_value(graph.layer_norm("ln", squared, epsilon));
    CHECK(graph.ops.back().kind == OpKind{OpKind::LayerNorm{epsilon}});
  }
  const TensorId g = expect_value(graph.gelu("g", m));
  const TensorId flat = expect_value(graph.reshape("flat", g, {6}));
  CHECK(graph.tensors[flat.index].shape == std::vector<std::uint64_t>{6});
  CHECK(graph.ops.back().kind == OpKind{OpKind::Reshape{{6}}});

  // Names are free text: two ops may share one, and an empty shape is accepted until validation.
  expect_value(graph.gelu("g", m));
  const TensorId scalar = graph.input("scalar", {});
  CHECK(graph.tensors[scalar.index].shape.empty());
}

TEST_CASE("marking outputs turns any kind into Output and keeps repeats", "[builder]") {
  Graph graph;
  const TensorId x = graph.input("x", {4});
  const TensorId w = graph.weight("w", {4});
  graph.mark_output(x);
  graph.mark_output(x);
  graph.mark_output(w);
  CHECK(graph.outputs == std::vector<TensorId>{x, x, w});
  CHECK(graph.tensors[x.index].kind == TensorKind::Output);
  CHECK(graph.tensors[w.index].kind == TensorKind::Output);
}

TEST_CASE("an operand that names no tensor is a fatal caller error", "[builder]") {
  Graph graph;
  const TensorId x = graph.input("x", {2, 2});
  const TensorId missing{7};
  const Graph before = graph;
  CHECK_THROWS_AS(graph.matmul("m", x, missing), std::out_of_range);
  CHECK_THROWS_AS(graph.add("a", missing, x), std::out_of_range);
  CHECK_THROWS_AS(graph.transpose("t", missing, {0}), std::out_of_range);
  CHECK_THROWS_AS(graph.softmax("s", missing, 0), std::out_of_range);
  CHECK_THROWS_AS(graph.layer_norm("l", missing, 1e-5F), std::out_of_range);
  CHECK_THROWS_AS(graph.gelu("g", missing), std::out_of_range);
  CHECK_THROWS_AS(graph.reshape("r", missing, {4}), std::out_of_range);
  CHECK_THROWS_AS(graph.mark_output(missing), std::out_of_range);
  CHECK(graph == before);
}

} // namespace
} // namespace orvik_compiler
