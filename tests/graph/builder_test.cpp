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

TEST_CASE("type and shape errors carry the builder's messages and change nothing", "[builder]") {
  Graph graph;
  const TensorId a = graph.input("a", {2, 3});
  const TensorId b = graph.input("b", {4, 5});
  const TensorId c = graph.input("c", {3, 2});
  const TensorId cube = graph.input("cube", {2, 3, 4});
  const TensorId ids = graph.input("ids", {3});
  const TensorId ids_i32 = graph.input("ids_i32", {3}, DType::I32);
  const TensorId scalar_ids = graph.input("scalar_ids", {}, DType::I32);
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
      {graph.batch_matmul("bmm", a, c), "bmm: incompatible batch matmul [2, 3] x [3, 2]"},
      {graph.batch_matmul("bmm", cube, c), "bmm: incompatible batch matmul [2, 3, 4] x [3, 2]"},
      {graph.sub("d", a, c), "d: binary shapes differ"},
      {graph.div("q", a, b), "q: binary shapes differ"},
      {graph.maximum("hi", cube, a), "hi: binary shapes differ"},
      {graph.minimum("lo", c, a), "lo: binary shapes differ"},
      {graph.pow("p", a, cube), "p: binary shapes differ"},
      {graph.broadcast("bc", a, {3, 3}), "bc: cannot broadcast [2, 3] to [3, 3]"},
      {graph.slice("sl", a, 1, 1, 4), "sl: invalid slice"},
      {graph.slice("sl", a, 0, 0, 2, 0), "sl: invalid slice"},
      {graph.concat("cat", {a, b}, 0), "cat: incompatible concat"},
      {graph.concat("cat", {}, 0), "cat: incompatible concat"},
      {graph.gather("g", a, ids), "g: operand 1 is F32, expected I32"},
      {graph.gather("g", scalar_ids, ids_i32), "g: invalid gather"},
      {graph.reduce_sum("rs", a, 2), "rs: reduce axis out of range"},
      {graph.reduce_mean("rm", cube, 3), "rm: reduce axis out of range"},
      {graph.reduce_max("rx", a, 5), "rx: reduce axis out of range"},
      {graph.exp("e", ids_i32), "e: operand 0 is I32, expected F32"},
      {graph.add("sum", a, ids_i32), "sum: operand 1 is I32, expected F32"},
      {graph.concat("cat", {ids, ids_i32}, 0), "cat: operand 1 is I32, expected F32"},
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

TEST_CASE("inputs and weights take an element type, F32 unless given", "[builder]") {
  Graph graph;
  const TensorId x = graph.input("x", {2});
  const TensorId ids = graph.input("ids", {2, 3}, DType::I32);
  const TensorId w = graph.weight("w", {4});
  const TensorId table = graph.weight("table", {4, 2}, DType::I32);
  CHECK(graph.tensors[x.index].dtype == DType::F32);
  CHECK(graph.tensors[ids.index].dtype == DType::I32);
  CHECK(graph.tensors[ids.index].kind == TensorKind::Input);
  CHECK(graph.tensors[w.index].dtype == DType::F32);
  CHECK(graph.tensors[table.index].dtype == DType::I32);
  CHECK(graph.tensors[table.index].kind == TensorKind::Weight);
}

TEST_CASE("every builder method appends its kind, parameters, operands and output type",
          "[builder]") {
  Graph graph;
  const TensorId cube = graph.input("cube", {2, 3, 4});
  const TensorId right = graph.weight("right", {2, 4, 5});
  const TensorId shared = graph.weight("shared", {4, 5});
  const TensorId m = graph.input("m", {2, 3});
  const TensorId n = graph.input("n", {2, 3});
  const TensorId ids = graph.input("ids", {2, 3}, DType::I32);
  const TensorId table = graph.weight("table", {10, 8});
  const TensorId row = graph.input("row", {1, 3});

  using Shape = std::vector<std::uint64_t>;
  struct Case {
    Result<TensorId> result;
    OpKind kind;
    std::vector<TensorId> inputs;
    Shape shape;
    DType dtype;
  };
  const std::vector<Case> cases{
      {graph.batch_matmul("bmm", cube, right),
       OpKind::BatchMatMul{},
       {cube, right},
       {2, 3, 5},
       DType::F32},
      {graph.batch_matmul("bmm_shared", cube, shared),
       OpKind::BatchMatMul{},
       {cube, shared},
       {2, 3, 5},
       DType::F32},
      {graph.sub("sub", m, n), OpKind::Sub{}, {m, n}, {2, 3}, DType::F32},
      {graph.div("div", n, m), OpKind::Div{}, {n, m}, {2, 3}, DType::F32},
      {graph.maximum("maximum", m, n), OpKind::Maximum{}, {m, n}, {2, 3}, DType::F32},
      {graph.minimum("minimum", m, m), OpKind::Minimum{}, {m, m}, {2, 3}, DType::F32},
      {graph.pow("pow", m, n), OpKind::Pow{}, {m, n}, {2, 3}, DType::F32},
      {graph.erf("erf", m), OpKind::Erf{}, {m}, {2, 3}, DType::F32},
      {graph.tanh("tanh", m), OpKind::Tanh{}, {m}, {2, 3}, DType::F32},
      {graph.exp("exp", m), OpKind::Exp{}, {m}, {2, 3}, DType::F32},
      {graph.log("log", m), OpKind::Log{}, {m}, {2, 3}, DType::F32},
      {graph.sqrt("sqrt", m), OpKind::Sqrt{}, {m}, {2, 3}, DType::F32},
      {graph.reciprocal("reciprocal", m), OpKind::Reciprocal{}, {m}, {2, 3}, DType::F32},
      {graph.neg("neg", m), OpKind::Neg{}, {m}, {2, 3}, DType::F32},
      {graph.abs("abs", m), OpKind::Abs{}, {m}, {2, 3}, DType::F32},
      {graph.relu("relu", m), OpKind::Relu{}, {m}, {2, 3}, DType::F32},
      {graph.sigmoid("sigmoid", m), OpKind::Sigmoid{}, {m}, {2, 3}, DType::F32},
      {graph.broadcast("broadcast", row, {4, 2, 3}),
       OpKind::Broadcast{{4, 2, 3}},
       {row},
       {4, 2, 3},
       DType::F32},
      {graph.broadcast("broadcast_ids", ids, {5, 2, 3}),
       OpKind::Broadcast{{5, 2, 3}},
       {ids},
       {5, 2, 3},
       DType::I32},
      {graph.slice("slice", cube, 2, 1, 4, 2),
       OpKind::Slice{2, 1, 4, 2},
       {cube},
       {2, 3, 2},
       DType::F32},
      // The step defaults to 1.
      {graph.slice("slice_ids", ids, 1, 1, 3),
       OpKind::Slice{1, 1, 3, 1},
       {ids},
       {2, 2},
       DType::I32},
      {graph.concat("concat", {m, row, n}, 0), OpKind::Concat{0}, {m, row, n}, {5, 3}, DType::F32},
      {graph.concat("concat_ids", {ids, ids}, 1),
       OpKind::Concat{1},
       {ids, ids},
       {2, 6},
       DType::I32},
      {graph.gather("gather", table, ids), OpKind::Gather{}, {table, ids}, {2, 3, 8}, DType::F32},
      {graph.reduce_sum("reduce_sum", cube, 0),
       OpKind::ReduceSum{0},
       {cube},
       {1, 3, 4},
       DType::F32},
      {graph.reduce_mean("reduce_mean", cube, 1),
       OpKind::ReduceMean{1},
       {cube},
       {2, 1, 4},
       DType::F32},
      {graph.reduce_max("reduce_max", cube, 2),
       OpKind::ReduceMax{2},
       {cube},
       {2, 3, 1},
       DType::F32},
      {graph.cast("cast", m, DType::I32), OpKind::Cast{DType::I32}, {m}, {2, 3}, DType::I32},
      {graph.cast("cast_back", ids, DType::F32),
       OpKind::Cast{DType::F32},
       {ids},
       {2, 3},
       DType::F32},
  };
  REQUIRE(graph.ops.size() == cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    INFO(c.kind);
    const TensorId output = expect_value(c.result);
    const Tensor& tensor = graph.tensors.at(output.index);
    const Op& op = graph.ops[i];
    CHECK(tensor.producer == op.id);
    CHECK(tensor.name == op.name);
    CHECK(tensor.kind == TensorKind::Intermediate);
    CHECK(tensor.shape == c.shape);
    CHECK(tensor.dtype == c.dtype);
    CHECK(op.output == output);
    CHECK(op.kind == c.kind);
    CHECK(op.inputs == c.inputs);
  }
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
  CHECK_THROWS_AS(graph.batch_matmul("b", x, missing), std::out_of_range);
  CHECK_THROWS_AS(graph.pow("p", missing, x), std::out_of_range);
  CHECK_THROWS_AS(graph.sigmoid("s", missing), std::out_of_range);
  CHECK_THROWS_AS(graph.broadcast("b", missing, {2, 2}), std::out_of_range);
  CHECK_THROWS_AS(graph.slice("s", missing, 0, 0, 1), std::out_of_range);
  // A missing id after valid ones, and one the rule would refuse for its count.
  CHECK_THROWS_AS(graph.concat("c", {x, x, missing}, 0), std::out_of_range);
  CHECK_THROWS_AS(graph.gather("g", x, missing), std::out_of_range);
  CHECK_THROWS_AS(graph.reduce_mean("r", missing, 0), std::out_of_range);
  CHECK_THROWS_AS(graph.cast("c", missing, DType::I32), std::out_of_range);
  CHECK_THROWS_AS(graph.mark_output(missing), std::out_of_range);
  CHECK(graph == before);
}

} // namespace
} // namespace orvik_compiler
