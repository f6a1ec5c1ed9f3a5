// The interpreter on every kind added to the original eight and on I32 tensors: each kind's
// values and element type, the errors on values and on bound types, and the float-only entry
// point refusing an I32 output.

#include "test_support.hpp"

#include <functional>

namespace orvik_compiler {
namespace {

using testing::bits;
using testing::expect_error;
using testing::expect_value;
using Floats = std::vector<float>;
using Ints = std::vector<std::int32_t>;

constexpr float inf = std::numeric_limits<float>::infinity();
constexpr float nan = std::numeric_limits<float>::quiet_NaN();

DType dtype_of(const TensorData& data) {
  return std::holds_alternative<Floats>(data) ? DType::F32 : DType::I32;
}

/// The values with their type: floats by their bits (every NaN alike), integers as they are.
std::pair<DType, std::vector<std::uint32_t>> typed_bits(const TensorData& data) {
  if (const Floats* floats = std::get_if<Floats>(&data)) {
    return {DType::F32, bits(*floats)};
  }
  std::vector<std::uint32_t> result;
  for (const std::int32_t value : std::get<Ints>(data)) {
    result.push_back(static_cast<std::uint32_t>(value));
  }
  return {DType::I32, result};
}

TensorValue bind(TensorId id, const TensorData& data) {
  return std::visit([id](const auto& values) { return TensorValue{id, std::span(values)}; }, data);
}

/// An operand of a one-operation graph; not bound when it holds no values.
struct Operand {
  std::vector<std::uint64_t> shape;
  TensorData values;
};

struct KindCase {
  const char* what;
  std::function<Result<TensorId>(Graph&, TensorId, TensorId)> build;
  Operand a;
  Operand b;
  TensorData expected;
};

TEST_CASE("each new kind computes its values, of its type", "[evaluate]") {
  using G = Graph;
  using T = TensorId;
  const Operand none{{1}, Floats{}};
  const std::vector<KindCase> cases{
      {"sub, left operand first",
       [](G& g, T a, T b) { return g.sub("y", a, b); },
       {{3}, Floats{1, -0.0F, inf}},
       {{3}, Floats{3, 0.0F, inf}},
       Floats{-2, -0.0F, nan}},
      {"div, left operand first",
       [](G& g, T a, T b) { return g.div("y", a, b); },
       {{3}, Floats{1, 1, 0}},
       {{3}, Floats{4, -0.0F, 0}},
       Floats{0.25F, -inf, nan}},
      {"maximum",
       [](G& g, T a, T b) { return g.maximum("y", a, b); },
       {{4}, Floats{nan, 1, -0.0F, 0.0F}},
       {{4}, Floats{1, nan, 0.0F, -0.0F}},
       Floats{nan, nan, 0.0F, 0.0F}},
      {"minimum",
       [](G& g, T a, T b) { return g.minimum("y", a, b); },
       {{4}, Floats{nan, 1, -0.0F, 0.0F}},
       {{4}, Floats{1, nan, 0.0F, -0.0F}},
       Floats{nan, nan, -0.0F, -0.0F}},
      {"pow",
       [](G& g, T a, T b) { return g.pow("y", a, b); },
       {{3}, Floats{2, -8, nan}},
       {{3}, Floats{0.5F, 1.0F / 3.0F, 0}},
       Floats{0x1.6a09e6p+0F, nan, 1}},
      {"erf",
       [](G& g, T a, T) { return g.erf("y", a); },
       {{3}, Floats{-0.0F, inf, 0.5F}},
       none,
       Floats{-0.0F, 1, 0x1.0a7ef6p-1F}},
      {"tanh",
       [](G& g, T a, T) { return g.tanh("y", a); },
       {{3}, Floats{-0.0F, -inf, 0.5F}},
       none,
       Floats{-0.0F, -1, 0x1.d9353ep-2F}},
      {"exp",
       [](G& g, T a, T) { return g.exp("y", a); },
       {{3}, Floats{-inf, 89, 1}},
       none,
       Floats{0.0F, inf, 0x1.5bf0a8p+1F}},
      {"log",
       [](G& g, T a, T) { return g.log("y", a); },
       {{3}, Floats{-0.0F, -1, 2}},
       none,
       Floats{-inf, nan, 0x1.62e43p-1F}},
      {"sqrt",
       [](G& g, T a, T) { return g.sqrt("y", a); },
       {{3}, Floats{-0.0F, -1, 2}},
       none,
       Floats{-0.0F, nan, 0x1.6a09e6p+0F}},
      {"reciprocal",
       [](G& g, T a, T) { return g.reciprocal("y", a); },
       {{3}, Floats{-0.0F, inf, 4}},
       none,
       Floats{-inf, 0.0F, 0.25F}},
      {"neg",
       [](G& g, T a, T) { return g.neg("y", a); },
       {{3}, Floats{0.0F, -inf, 2}},
       none,
       Floats{-0.0F, inf, -2}},
      {"abs",
       [](G& g, T a, T) { return g.abs("y", a); },
       {{3}, Floats{-0.0F, -inf, 2}},
       none,
       Floats{0.0F, inf, 2}},
      {"relu",
       [](G& g, T a, T) { return g.relu("y", a); },
       {{4}, Floats{-0.0F, -2, nan, 3}},
       none,
       Floats{-0.0F, 0.0F, nan, 3}},
      {"sigmoid",
       [](G& g, T a, T) { return g.sigmoid("y", a); },
       {{3}, Floats{0, -inf, -89}},
       none,
       Floats{0.5F, 0.0F, 0.0F}},
      {"batch_matmul, one right matrix per batch",
       [](G& g, T a, T b) { return g.batch_matmul("y", a, b); },
       {{2, 1, 2}, Floats{1, 2, 3, 4}},
       {{2, 2, 1}, Floats{5, 6, 7, 8}},
       Floats{17, 53}},
      {"batch_matmul, one right matrix shared",
       [](G& g, T a, T b) { return g.batch_matmul("y", a, b); },
       {{2, 1, 2}, Floats{1, 2, 3, 4}},
       {{2, 1}, Floats{5, 6}},
       Floats{17, 39}},
      {"broadcast of floats",
       [](G& g, T a, T) {
         return g.broadcast("y", a, {2, 2, 3});
       },
       {{2, 1}, Floats{1, -0.0F}},
       none,
       Floats{1, 1, 1, -0.0F, -0.0F, -0.0F, 1, 1, 1, -0.0F, -0.0F, -0.0F}},
      {"broadcast of integers",
       [](G& g, T a, T) {
         return g.broadcast("y", a, {2, 3});
       },
       {{3}, Ints{4, 5, 6}},
       none,
       Ints{4, 5, 6, 4, 5, 6}},
      {"slice of floats",
       [](G& g, T a, T) { return g.slice("y", a, 1, 0, 3, 2); },
       {{2, 3}, Floats{1, 2, 3, 4, 5, 6}},
       none,
       Floats{1, 3, 4, 6}},
      {"slice of integers on the first axis",
       [](G& g, T a, T) { return g.slice("y", a, 0, 1, 3); },
       {{3, 2}, Ints{1, 2, 3, 4, 5, 6}},
       none,
       Ints{3, 4, 5, 6}},
      {"concat of integers",
       [](G& g, T a, T b) {
         return g.concat("y", {a, b}, 1);
       },
       {{2, 1}, Ints{1, 2}},
       {{2, 2}, Ints{3, 4, 5, 6}},
       Ints{1, 3, 4, 2, 5, 6}},
      {"concat of a tensor with itself",
       [](G& g, T a, T) {
         return g.concat("y", {a, a}, 0);
       },
       {{1, 2}, Floats{1, -0.0F}},
       none,
       Floats{1, -0.0F, 1, -0.0F}},
      {"gather of float rows by a matrix of indices",
       [](G& g, T a, T b) { return g.gather("y", a, b); },
       {{3, 2}, Floats{0, 1, 10, 11, 20, 21}},
       {{2, 2}, Ints{2, 0, 1, 2}},
       Floats{20, 21, 0, 1, 10, 11, 20, 21}},
      {"gather of integers",
       [](G& g, T a, T b) { return g.gather("y", a, b); },
       {{3}, Ints{7, 8, 9}},
       {{1}, Ints{1}},
       Ints{8}},
      {"reduce_sum along the first axis",
       [](G& g, T a, T) { return g.reduce_sum("y", a, 0); },
       {{2, 3}, Floats{1, -0.0F, 1e8F, 2, -0.0F, 1}},
       none,
       Floats{3, -0.0F, 1e8F}},
      {"reduce_mean along the last axis",
       [](G& g, T a, T) { return g.reduce_mean("y", a, 1); },
       {{2, 3}, Floats{1, 2, 6, 0, 0, 1}},
       none,
       Floats{3, 1.0F / 3.0F}},
      {"reduce_max",
       [](G& g, T a, T) { return g.reduce_max("y", a, 1); },
       {{2, 3}, Floats{-0.0F, 0.0F, -1, 1, nan, 2}},
       none,
       Floats{0.0F, nan}},
      {"cast of floats to integers",
       [](G& g, T a, T) { return g.cast("y", a, DType::I32); },
       {{4}, Floats{-0.5F, -1.9F, 2147483520.0F, -2147483648.0F}},
       none,
       Ints{0, -1, 2147483520, std::numeric_limits<std::int32_t>::min()}},
      {"cast of integers to floats",
       [](G& g, T a, T) { return g.cast("y", a, DType::F32); },
       {{2}, Ints{16777217, -1}},
       none,
       Floats{16777216, -1}},
      {"cast to the same type",
       [](G& g, T a, T) { return g.cast("y", a, DType::I32); },
       {{2}, Ints{-5, 2}},
       none,
       Ints{-5, 2}},
      {"reshape of integers",
       [](G& g, T a, T) { return g.reshape("y", a, {2}); },
       {{1, 2}, Ints{-5, 2}},
       none,
       Ints{-5, 2}},
      {"transpose of integers",
       [](G& g, T a, T) {
         return g.transpose("y", a, {1, 0});
       },
       {{2, 3}, Ints{1, 2, 3, 4, 5, 6}},
       none,
       Ints{1, 4, 2, 5, 3, 6}},
  };
  for (const KindCase& c : cases) {
    INFO(c.what);
    Graph graph;
    const TensorId a = graph.input("a", c.a.shape, dtype_of(c.a.values));
    const TensorId b = graph.input("b", c.b.shape, dtype_of(c.b.values));
    graph.mark_output(expect_value(c.build(graph, a, b)));
    std::vector<TensorValue> values{bind(a, c.a.values)};
    if (!typed_bits(c.b.values).second.empty()) {
      values.push_back(bind(b, c.b.values));
    }
    const std::vector<TensorData> outputs = expect_value(evaluate_typed(graph, values));
    REQUIRE(outputs.size() == 1);
    CHECK(typed_bits(outputs[0]) == typed_bits(c.expected));
  }
}

TEST_CASE("operations reading one computed tensor twice", "[evaluate]") {
  // x is computed and dies at each reader, which may take over its storage while reading it
  // twice.
  const Floats data{1, -2, 3, 0.5F, -0.0F, 2, 1, 1};
  const auto run = [&](const std::function<Result<TensorId>(Graph&, TensorId)>& build) {
    Graph graph;
    const TensorId a = graph.input("a", {2, 2, 2});
    const TensorId x = expect_value(graph.neg("x", a));
    graph.mark_output(expect_value(build(graph, x)));
    return expect_value(evaluate(graph, {{{a, data}}})).at(0);
  };
  Floats negated = data;
  for (float& value : negated) {
    value = -value;
  }
  Floats squares;
  for (const float value : negated) {
    squares.push_back(value * value);
  }
  CHECK(bits(run([](Graph& g, TensorId x) { return g.mul("y", x, x); })) == bits(squares));
  CHECK(bits(run([](Graph& g, TensorId x) { return g.maximum("y", x, x); })) == bits(negated));
  Floats doubled = negated;
  doubled.insert(doubled.end(), negated.begin(), negated.end());
  CHECK(bits(run([](Graph& g, TensorId x) { return g.concat("y", {x, x}, 0); })) == bits(doubled));
  // Each batch of x times itself: [[-1, 2], [-3, -0.5]] and [[0, -2], [-1, -1]].
  CHECK(run([](Graph& g, TensorId x) { return g.batch_matmul("y", x, x); }) ==
        Floats{-5, -3, 4.5F, -5.75F, 2, 2, 1, 3});
}

TEST_CASE("I32 values in and out: evaluate_typed returns them, evaluate refuses them",
          "[evaluate]") {
  // ids -> cast to F32 -> sum; ids -> reshape -> gather of the table; ids itself an output.
  Graph graph;
  const TensorId table = graph.weight("table", {3, 2});
  const TensorId ids = graph.input("ids", {2}, DType::I32);
  const TensorId as_floats = expect_value(graph.cast("as_floats", ids, DType::F32));
  const TensorId rows = expect_value(graph.reshape("rows", ids, {2, 1}));
  const TensorId picked = expect_value(graph.gather("picked", table, rows));
  const TensorId back = expect_value(graph.cast("back", as_floats, DType::I32));
  graph.mark_output(picked);
  graph.mark_output(back);
  graph.mark_output(ids);
  const Floats table_values{0, 1, 10, 11, 20, 21};
  const Ints id_values{2, 0};
  const std::vector<TensorValue> values{{table, table_values}, {ids, id_values}};
  const std::vector<TensorData> outputs = expect_value(evaluate_typed(graph, values));
  REQUIRE(outputs.size() == 3);
  CHECK(std::get<Floats>(outputs[0]) == Floats{20, 21, 0, 1});
  CHECK(std::get<Ints>(outputs[1]) == id_values);
  CHECK(std::get<Ints>(outputs[2]) == id_values);
  // The refusal comes before any work: here nothing is even bound.
  CHECK(expect_error(evaluate(graph, {})) ==
        CompileError::graph("output back is I32: evaluate_typed returns its values"));
  graph.outputs = {picked};
  CHECK(expect_value(evaluate(graph, values)) == std::vector<Floats>{{20, 21, 0, 1}});
}

TEST_CASE("a gather index or a cast value that does not fit stops the evaluation", "[evaluate]") {
  struct Case {
    TensorData values;
    const char* message;
  };
  const Case cases[] = {
      {Ints{0, 3}, "picked: index 3 is outside [0, 3)"},
      {Ints{-1, 5}, "picked: index -1 is outside [0, 3)"},
      {Floats{1, 2147483648.0F}, "as_ints: 2147483648 does not fit I32"},
      {Floats{-2147483904.0F, nan}, "as_ints: -2147483904 does not fit I32"},
      {Floats{nan, 1}, "as_ints: nan does not fit I32"},
      {Floats{-inf, 1}, "as_ints: -inf does not fit I32"},
  };
  for (const Case& c : cases) {
    INFO(c.message);
    // The table's rows picked by the indices, as given or converted from floats.
    Graph graph;
    const TensorId table = graph.weight("table", {3, 2});
    const TensorId given = graph.input("given", {2}, dtype_of(c.values));
    TensorId indices = given;
    if (dtype_of(c.values) == DType::F32) {
      indices = expect_value(graph.cast("as_ints", given, DType::I32));
    }
    graph.mark_output(expect_value(graph.gather("picked", table, indices)));
    const Floats table_values(6, 1.0F);
    const std::vector<TensorValue> values{{table, table_values}, bind(given, c.values)};
    CHECK(expect_error(evaluate_typed(graph, values)) == CompileError::graph(c.message));
  }
}

TEST_CASE("a value of the wrong type is refused after the computed ones, before the counts",
          "[evaluate]") {
  Graph graph;
  const TensorId table = graph.weight("table", {3, 2});
  const TensorId ids = graph.input("ids", {2}, DType::I32);
  const TensorId picked = expect_value(graph.gather("picked", table, ids));
  graph.mark_output(picked);
  const Floats six(6, 1.0F);
  const Floats two(2, 1.0F);
  const Ints six_ids(6, 0);
  const Ints two_ids{0, 1};
  const Ints three_ids{0, 1, 2};
  struct Case {
    std::vector<TensorValue> values;
    const char* message;
  };
  const std::vector<Case> cases{
      {{{table, six}, {ids, two}}, "tensor ids has F32 values, expected I32"},
      {{{table, six_ids}, {ids, two_ids}}, "tensor table has I32 values, expected F32"},
      {{{table, two}, {ids, two}}, "tensor ids has F32 values, expected I32"},
      {{{ids, two}, {picked, six}}, "tensor picked is computed, not bound"},
      {{{table, six}, {ids, three_ids}}, "tensor ids has 3 values, expected 2"},
  };
  for (const Case& c : cases) {
    INFO(c.message);
    CHECK(expect_error(evaluate_typed(graph, c.values)) == CompileError::graph(c.message));
  }
}

} // namespace
} // namespace orvik_compiler
