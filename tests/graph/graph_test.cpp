// The graph records: element counts, ids and the debug text.

#include "test_support.hpp"

#include <limits>
#include <unordered_set>
#include <variant>

namespace orvik_compiler {
namespace {

using testing::debug;

TEST_CASE("element counts are the product of the shape and never wrap", "[graph]") {
  const auto elements = [](std::vector<std::uint64_t> shape) {
    return Tensor{TensorId{0}, "t", DType::F32, std::move(shape), TensorKind::Input, {}}.elements();
  };
  CHECK(elements({}) == 1);
  CHECK(elements({2, 3, 4}) == 24);
  CHECK(elements({2, 0, 4}) == 0);
  CHECK(elements({std::uint64_t{1} << 32U, std::uint64_t{1} << 31U}) == std::uint64_t{1} << 63U);
  CHECK_THROWS_AS(elements({std::uint64_t{1} << 32U, std::uint64_t{1} << 32U}),
                  std::overflow_error);
  // A zero after an overflowing prefix still overflows: the product is computed in order.
  CHECK_THROWS_AS(elements({std::numeric_limits<std::uint64_t>::max(), 2, 0}), std::overflow_error);
  CHECK(DType{}.size() == 4);
  CHECK(DType{} == DType::F32);
  CHECK(DType{DType::I32}.size() == 4);
}

TEST_CASE("ids compare and hash by index and print in tuple form", "[graph]") {
  CHECK(TensorId{3} == TensorId{3});
  CHECK(TensorId{3} != TensorId{4});
  CHECK(debug(TensorId{0}) == "TensorId(0)");
  CHECK(debug(OpId{3}) == "OpId(3)");
  const std::unordered_set<TensorId> ids{TensorId{1}, TensorId{1}, TensorId{2}};
  CHECK(ids.size() == 2);
}

TEST_CASE("every kind prints its name and its parameters in structural form", "[graph]") {
  struct Case {
    OpKind kind;
    const char* text;
  };
  const Case cases[] = {
      {OpKind::MatMul{}, "MatMul"},
      {OpKind::Add{}, "Add"},
      {OpKind::Mul{}, "Mul"},
      {OpKind::Reshape{{2, 3}}, "Reshape { shape: [2, 3] }"},
      {OpKind::Transpose{{1, 0}}, "Transpose { permutation: [1, 0] }"},
      {OpKind::LayerNorm{1e-5F}, "LayerNorm { epsilon: 1e-05 }"},
      {OpKind::Softmax{1}, "Softmax { axis: 1 }"},
      {OpKind::Gelu{}, "Gelu"},
      {OpKind::BatchMatMul{}, "BatchMatMul"},
      {OpKind::Sub{}, "Sub"},
      {OpKind::Div{}, "Div"},
      {OpKind::Maximum{}, "Maximum"},
      {OpKind::Minimum{}, "Minimum"},
      {OpKind::Pow{}, "Pow"},
      {OpKind::Erf{}, "Erf"},
      {OpKind::Tanh{}, "Tanh"},
      {OpKind::Exp{}, "Exp"},
      {OpKind::Log{}, "Log"},
      {OpKind::Sqrt{}, "Sqrt"},
      {OpKind::Reciprocal{}, "Reciprocal"},
      {OpKind::Neg{}, "Neg"},
      {OpKind::Abs{}, "Abs"},
      {OpKind::Relu{}, "Relu"},
      {OpKind::Sigmoid{}, "Sigmoid"},
      {OpKind::Broadcast{{4, 1, 3}}, "Broadcast { shape: [4, 1, 3] }"},
      {OpKind::Slice{1, 0, 4, 1}, "Slice { axis: 1, start: 0, stop: 4, step: 1 }"},
      {OpKind::Slice{0, 3, 9, 2}, "Slice { axis: 0, start: 3, stop: 9, step: 2 }"},
      {OpKind::Concat{2}, "Concat { axis: 2 }"},
      {OpKind::Gather{}, "Gather"},
      {OpKind::ReduceSum{0}, "ReduceSum { axis: 0 }"},
      {OpKind::ReduceMean{2}, "ReduceMean { axis: 2 }"},
      {OpKind::ReduceMax{1}, "ReduceMax { axis: 1 }"},
      {OpKind::Cast{DType::I32}, "Cast { dtype: I32 }"},
      {OpKind::Cast{DType::F32}, "Cast { dtype: F32 }"},
  };
  std::unordered_set<std::size_t> kinds_seen;
  for (const Case& c : cases) {
    CHECK(debug(c.kind) == c.text);
    kinds_seen.insert(c.kind.value.index());
  }
  CHECK(kinds_seen.size() == std::variant_size_v<OpKind::Variant>);
}

TEST_CASE("tensors print their element type and ops their operands in order", "[graph]") {
  Graph graph;
  const TensorId ids = graph.input("ids", {2}, DType::I32);
  const TensorId table = graph.weight("table", {5, 3});
  const TensorId rows = testing::expect_value(graph.gather("rows", table, ids));
  const TensorId joined = testing::expect_value(graph.concat("joined", {rows, rows}, 1));
  graph.mark_output(joined);
  CHECK(debug(graph.tensors[ids.index]) ==
        "Tensor { id: TensorId(0), name: \"ids\", dtype: I32, shape: [2], kind: Input, "
        "producer: None }");
  CHECK(debug(graph.ops[0]) == "Op { id: OpId(0), name: \"rows\", kind: Gather, inputs: "
                               "[TensorId(1), TensorId(0)], output: TensorId(2) }");
  CHECK(debug(graph.ops[1]) ==
        "Op { id: OpId(1), name: \"joined\", kind: Concat { axis: 1 }, inputs: [TensorId(2), "
        "TensorId(2)], output: TensorId(3) }");
  CHECK(debug(graph.tensors[joined.index]) ==
        "Tensor { id: TensorId(3), name: \"joined\", dtype: F32, shape: [2, 6], kind: Output, "
        "producer: Some(OpId(1)) }");
}

} // namespace
} // namespace orvik_compiler
