// The interpreter against the plain loops, bit for bit, on random graphs over every kind and
// both element types, value errors included; and both on small cases worked out by hand.

#include "test_support.hpp"
#include "testing/plain_evaluate.hpp"
#include "testing/random_graphs.hpp"

#include <array>
#include <bit>
#include <functional>
#include <limits>

namespace orvik_compiler {
namespace {

using testing::expect_value;

/// A value's bits, F32 ones with every NaN as one pattern: which NaN an operation gives when it
/// meets one is not promised, only that the result is NaN.
std::vector<std::uint32_t> comparable(const TensorData& data) {
  if (const auto* floats = std::get_if<std::vector<float>>(&data)) {
    return testing::bits(*floats);
  }
  std::vector<std::uint32_t> result;
  for (const std::int32_t value : std::get<std::vector<std::int32_t>>(data)) {
    result.push_back(std::bit_cast<std::uint32_t>(value));
  }
  return result;
}

bool holds_i32(const TensorData& data) {
  return std::holds_alternative<std::vector<std::int32_t>>(data);
}

/// What the random graphs reached, so that a generator that stops drawing a kind, a type or an
/// error fails the test instead of thinning it.
struct Coverage {
  std::array<std::uint64_t, std::variant_size_v<OpKind::Variant>> kinds{};
  std::uint64_t succeeded = 0;
  std::uint64_t index_errors = 0;
  std::uint64_t cast_errors = 0;
  std::uint64_t i32_outputs = 0;
};

/// Evaluates `count` random graphs from seeds `first`, `first + 1`, ... both ways and checks
/// that they agree: the same outputs, of the same types, with the same bits, or the same error.
Coverage compare_random_graphs(std::uint64_t first, std::uint64_t count,
                               const testing::RandomGraphLimits& limits) {
  Coverage coverage;
  for (std::uint64_t seed = first; seed < first + count; ++seed) {
    const testing::RandomGraph random = testing::random_graph(testing::seeded_draw(seed), limits);
    INFO("seed " << seed << ": " << testing::debug(random.graph));
    for (const Op& op : random.graph.ops) {
      ++coverage.kinds[op.kind.value.index()];
    }
    const std::vector<TensorValue> values = random.values();
    const Result<std::vector<TensorData>> expected = testing::plain_evaluate(random.graph, values);
    const Result<std::vector<TensorData>> actual = evaluate_typed(random.graph, values);
    if (!expected) {
      REQUIRE_FALSE(actual.has_value());
      CHECK(actual.error() == expected.error());
      const std::string& message = expected.error().message;
      coverage.index_errors += message.find(" is outside [0, ") != std::string::npos ? 1U : 0U;
      coverage.cast_errors += message.ends_with(" does not fit I32") ? 1U : 0U;
      continue;
    }
    const std::vector<TensorData> outputs = expect_value(actual);
    REQUIRE(outputs.size() == expected->size());
    for (std::size_t i = 0; i < outputs.size(); ++i) {
      INFO("output " << i);
      CHECK(holds_i32(outputs[i]) == holds_i32((*expected)[i]));
      CHECK(comparable(outputs[i]) == comparable((*expected)[i]));
      coverage.i32_outputs += holds_i32(outputs[i]) ? 1U : 0U;
    }
    ++coverage.succeeded;
  }
  return coverage;
}

TEST_CASE("the interpreter computes the plain loops' bits on random graphs of every kind",
          "[evaluate][differential]") {
  constexpr std::uint64_t graphs = 3000;
  const Coverage coverage = compare_random_graphs(0, graphs, {});
  for (std::size_t kind = 0; kind < coverage.kinds.size(); ++kind) {
    INFO("kind " << kind << " of OpKind::Variant");
    CHECK(coverage.kinds[kind] >= 150);
  }
  CHECK(coverage.succeeded >= graphs / 2);
  CHECK(coverage.index_errors >= 20);
  CHECK(coverage.cast_errors >= 20);
  CHECK(coverage.i32_outputs >= 100);
}

TEST_CASE("the interpreter computes the plain loops' bits on random graphs of longer extents",
          "[evaluate][differential]") {
  // Extents up to 40 cross the product's 6-row and 16-column tiles and the vector widths of
  // the element-wise and reduction loops, in every batch and at every offset.
  const Coverage coverage = compare_random_graphs(1'000'000, 500, {6, 2400, 40});
  CHECK(coverage.succeeded >= 150);
}

TEST_CASE("random graphs are the same for the same seed and differ between seeds",
          "[evaluate][differential]") {
  const testing::RandomGraph first = testing::random_graph(testing::seeded_draw(7));
  const testing::RandomGraph again = testing::random_graph(testing::seeded_draw(7));
  const testing::RandomGraph other = testing::random_graph(testing::seeded_draw(8));
  CHECK(first.graph == again.graph);
  CHECK(testing::debug(first.graph) != testing::debug(other.graph));
  REQUIRE(first.bound.size() == again.bound.size());
  for (std::size_t i = 0; i < first.bound.size(); ++i) {
    CHECK(comparable(first.bound[i].data) == comparable(again.bound[i].data));
  }
}

TEST_CASE("random graphs keep every tensor within the element limit", "[evaluate][differential]") {
  // The differential fuzzer draws limits up to the first; a product of earlier products once
  // held 2^27 elements there and ran the fuzzer out of memory.
  for (const testing::RandomGraphLimits limits :
       {testing::RandomGraphLimits{12, 512, 24}, testing::RandomGraphLimits{12, 512, 512}}) {
    std::uint64_t largest = 0;
    for (std::uint64_t seed = 0; seed < 20000; ++seed) {
      const testing::RandomGraph random = testing::random_graph(testing::seeded_draw(seed), limits);
      for (const Tensor& tensor : random.graph.tensors) {
        largest = std::max(largest, tensor.elements());
      }
    }
    CHECK(largest <= limits.max_elements);
  }
}

constexpr float inf = std::numeric_limits<float>::infinity();
constexpr float nan = std::numeric_limits<float>::quiet_NaN();

/// A one-operation graph over inputs "a" (and "b"), their values and what the operation gives.
struct HandCase {
  const char* what;
  std::function<Result<TensorId>(Graph&)> build;
  TensorData a;
  TensorData b;
  Result<TensorData> expected;
};

TensorId input_named(const Graph& graph, const char* name) {
  for (const Tensor& tensor : graph.tensors) {
    if (tensor.name == name) {
      return tensor.id;
    }
  }
  FAIL("no input " << name);
  return {};
}

std::vector<TensorValue> bind(const Graph& graph, const HandCase& c) {
  std::vector<TensorValue> values;
  const std::pair<const char*, const TensorData*> named[] = {{"a", &c.a}, {"b", &c.b}};
  for (const auto& [name, data] : named) {
    if (const auto* floats = std::get_if<std::vector<float>>(data); floats && floats->empty()) {
      continue; // no second input
    }
    const TensorId id = input_named(graph, name);
    std::visit([&](const auto& d) { values.push_back({id, std::span(d)}); }, *data);
  }
  return values;
}

/// Evaluates the case both ways: each must give the expected value, bit for bit, or error.
void check_both(const HandCase& c) {
  INFO(c.what);
  Graph graph;
  graph.mark_output(expect_value(c.build(graph)));
  const std::vector<TensorValue> values = bind(graph, c);
  const Result<std::vector<TensorData>> plain = testing::plain_evaluate(graph, values);
  const Result<std::vector<TensorData>> interpreted = evaluate_typed(graph, values);
  if (!c.expected) {
    CHECK(testing::expect_error(plain) == c.expected.error());
    CHECK(testing::expect_error(interpreted) == c.expected.error());
    return;
  }
  for (const auto& [who, result] :
       {std::pair{"plain", &plain}, std::pair{"interpreter", &interpreted}}) {
    INFO(who);
    const std::vector<TensorData> outputs = expect_value(*result);
    REQUIRE(outputs.size() == 1);
    CHECK(holds_i32(outputs[0]) == holds_i32(*c.expected));
    CHECK(comparable(outputs[0]) == comparable(*c.expected));
  }
}

TEST_CASE("the plain loops and the interpreter give the rules' values on hand-made cases",
          "[evaluate][differential]") {
  using F = std::vector<float>;
  using I = std::vector<std::int32_t>;
  const auto f32 = [](Graph& g, std::vector<std::uint64_t> shape, const char* name = "a") {
    return g.input(name, std::move(shape));
  };
  const auto i32 = [](Graph& g, std::vector<std::uint64_t> shape, const char* name = "a") {
    return g.input(name, std::move(shape), DType::I32);
  };
  const std::vector<HandCase> cases{
      {"maximum: NaN from either side, +0 above -0",
       [&](Graph& g) { return g.maximum("m", f32(g, {5}), f32(g, {5}, "b")); },
       F{-0.0F, 0.0F, nan, 1.0F, -inf}, F{0.0F, -0.0F, 1.0F, nan, 2.0F},
       TensorData{F{0.0F, 0.0F, nan, nan, 2.0F}}},
      {"minimum: NaN from either side, -0 below +0",
       [&](Graph& g) { return g.minimum("m", f32(g, {5}), f32(g, {5}, "b")); },
       F{-0.0F, 0.0F, nan, 1.0F, -inf}, F{0.0F, -0.0F, 1.0F, nan, 2.0F},
       TensorData{F{-0.0F, -0.0F, nan, nan, -inf}}},
      {"relu keeps -0 and NaN", [&](Graph& g) { return g.relu("r", f32(g, {5})); },
       F{-0.0F, -1.0F, nan, 3.0F, -inf}, F{}, TensorData{F{-0.0F, 0.0F, nan, 3.0F, 0.0F}}},
      {"reduce_sum along the last axis starts from the first element",
       [&](Graph& g) {
         return g.reduce_sum("s", f32(g, {2, 3}), 1);
       },
       F{-0.0F, -0.0F, -0.0F, 1e8F, 1.0F, -1e8F}, F{}, TensorData{F{-0.0F, 0.0F}}},
      {"reduce_sum along the first axis adds in increasing index",
       [&](Graph& g) {
         return g.reduce_sum("s", f32(g, {3, 2}), 0);
       },
       F{1.0F, -0.0F, 1e8F, -0.0F, -1e8F, -0.0F}, F{}, TensorData{F{0.0F, -0.0F}}},
      {"reduce_mean divides the sum by the extent",
       [&](Graph& g) {
         return g.reduce_mean("s", f32(g, {3, 1}), 0);
       },
       F{1.0F, 2.0F, 4.0F}, F{}, TensorData{F{7.0F / 3.0F}}},
      {"reduce_max is NaN when any element is, +0 above -0",
       [&](Graph& g) {
         return g.reduce_max("s", f32(g, {4, 3}), 1);
       },
       F{1.0F, nan, 2.0F, -5.0F, 3.0F, -1.0F, -inf, -inf, -inf, -0.0F, 0.0F, -0.0F}, F{},
       TensorData{F{nan, 3.0F, -inf, 0.0F}}},
      {"cast to I32 truncates toward zero",
       [&](Graph& g) { return g.cast("c", f32(g, {5}), DType::I32); },
       F{-1.5F, 1.9F, -0.0F, 2147483520.0F, -2147483648.0F}, F{},
       TensorData{I{-1, 1, 0, 2147483520, std::numeric_limits<std::int32_t>::min()}}},
      {"cast to F32 rounds to nearest",
       [&](Graph& g) { return g.cast("c", i32(g, {4}), DType::F32); },
       I{16777217, 16777219, 2147483647, -7}, F{},
       TensorData{F{16777216.0F, 16777220.0F, 2147483648.0F, -7.0F}}},
      {"broadcast repeats extents of 1 and adds leading axes",
       [&](Graph& g) {
         return g.broadcast("b", f32(g, {2, 1}), {2, 2, 3});
       },
       F{1.0F, -0.0F}, F{},
       TensorData{F{1, 1, 1, -0.0F, -0.0F, -0.0F, 1, 1, 1, -0.0F, -0.0F, -0.0F}}},
      {"slice with a step",
       [&](Graph& g) {
         return g.slice("s", i32(g, {2, 5}), 1, 1, 5, 2);
       },
       I{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, F{}, TensorData{I{1, 3, 6, 8}}},
      {"concat along the last axis",
       [&](Graph& g) {
         return g.concat("c", {i32(g, {2, 1}), i32(g, {2, 2}, "b")}, 1);
       },
       I{1, 2}, I{3, 4, 5, 6}, TensorData{I{1, 3, 4, 2, 5, 6}}},
      {"gather picks whole rows in index order",
       [&](Graph& g) {
         return g.gather("g", f32(g, {3, 2}), i32(g, {2, 2}, "b"));
       },
       F{0, 1, 10, 11, 20, 21}, I{2, 0, 1, 2}, TensorData{F{20, 21, 0, 1, 10, 11, 20, 21}}},
      {"transpose",
       [&](Graph& g) {
         return g.transpose("t", i32(g, {2, 3}), {1, 0});
       },
       I{0, 1, 2, 3, 4, 5}, F{}, TensorData{I{0, 3, 1, 4, 2, 5}}},
      {"batch_matmul with a shared right operand",
       [&](Graph& g) {
         return g.batch_matmul("p", f32(g, {2, 1, 2}), f32(g, {2, 1}, "b"));
       },
       F{1, 2, 3, 4}, F{10, 100}, TensorData{F{210, 430}}},
      {"the first gather index out of range fails",
       [&](Graph& g) {
         return g.gather("g", f32(g, {3, 1}), i32(g, {4}, "b"));
       },
       F{0, 1, 2}, I{0, 5, -1, 3}, CompileError::graph("g: index 5 is outside [0, 3)")},
      {"a negative gather index fails",
       [&](Graph& g) { return g.gather("g", i32(g, {3}), i32(g, {1}, "b")); }, I{0, 1, 2}, I{-1},
       CompileError::graph("g: index -1 is outside [0, 3)")},
      {"a cast of 2^31 fails", [&](Graph& g) { return g.cast("c", f32(g, {2}), DType::I32); },
       F{1.0F, 2147483648.0F}, F{}, CompileError::graph("c: 2147483648 does not fit I32")},
      {"a cast of NaN fails, whatever its sign",
       [&](Graph& g) { return g.cast("c", f32(g, {2}), DType::I32); }, F{-nan, -inf}, F{},
       CompileError::graph("c: nan does not fit I32")},
      {"a cast of -inf fails", [&](Graph& g) { return g.cast("c", f32(g, {1}), DType::I32); },
       F{-inf}, F{}, CompileError::graph("c: -inf does not fit I32")},
  };
  for (const HandCase& c : cases) {
    check_both(c);
  }
}

TEST_CASE("the plain loops and the interpreter give the element functions' edge values",
          "[evaluate][differential]") {
  using Unary = Result<TensorId> (Graph::*)(std::string, TensorId);
  using Binary = Result<TensorId> (Graph::*)(std::string, TensorId, TensorId);
  struct UnaryEdge {
    const char* what;
    Unary method;
    float x;
    float expected;
  };
  const UnaryEdge unary_edges[] = {
      {"sqrt of -0", &Graph::sqrt, -0.0F, -0.0F},
      {"sqrt of a negative", &Graph::sqrt, -1.0F, nan},
      {"log of +0", &Graph::log, 0.0F, -inf},
      {"log of -0", &Graph::log, -0.0F, -inf},
      {"log of a negative", &Graph::log, -1.0F, nan},
      {"exp past its largest", &Graph::exp, 88.8F, inf},
      {"exp below its smallest", &Graph::exp, -104.0F, 0.0F},
      {"exp of -inf", &Graph::exp, -inf, 0.0F},
      {"reciprocal of -0", &Graph::reciprocal, -0.0F, -inf},
      {"neg of +0", &Graph::neg, 0.0F, -0.0F},
      {"abs of -0", &Graph::abs, -0.0F, 0.0F},
      {"abs of -inf", &Graph::abs, -inf, inf},
      {"tanh saturated", &Graph::tanh, -20.0F, -1.0F},
      {"tanh of -0", &Graph::tanh, -0.0F, -0.0F},
      {"erf saturated", &Graph::erf, 10.0F, 1.0F},
      {"erf of -0", &Graph::erf, -0.0F, -0.0F},
      {"sigmoid of 0", &Graph::sigmoid, 0.0F, 0.5F},
      {"sigmoid of +inf", &Graph::sigmoid, inf, 1.0F},
      {"sigmoid where expf overflows", &Graph::sigmoid, -100.0F, 0.0F},
      {"relu of +inf", &Graph::relu, inf, inf},
      {"gelu of -0", &Graph::gelu, -0.0F, -0.0F},
  };
  for (const UnaryEdge& edge : unary_edges) {
    check_both({edge.what, [&](Graph& g) { return (g.*edge.method)("op", g.input("a", {1})); },
                std::vector<float>{edge.x}, std::vector<float>{},
                TensorData{std::vector<float>{edge.expected}}});
  }
  struct BinaryEdge {
    const char* what;
    Binary method;
    float a;
    float b;
    float expected;
  };
  const BinaryEdge binary_edges[] = {
      {"pow of a negative to a fraction", &Graph::pow, -8.0F, 1.0F / 3.0F, nan},
      {"pow of +0 to -1", &Graph::pow, 0.0F, -1.0F, inf},
      {"pow of -0 to -1", &Graph::pow, -0.0F, -1.0F, -inf},
      {"pow of NaN to 0", &Graph::pow, nan, 0.0F, 1.0F},
      {"pow of 1 to NaN", &Graph::pow, 1.0F, nan, 1.0F},
      {"pow of -1 to -inf", &Graph::pow, -1.0F, -inf, 1.0F},
      {"div of 0 by 0", &Graph::div, 0.0F, 0.0F, nan},
      {"div of 1 by -0", &Graph::div, 1.0F, -0.0F, -inf},
      {"sub of inf from inf", &Graph::sub, inf, inf, nan},
      {"sub of +0 from -0", &Graph::sub, -0.0F, 0.0F, -0.0F},
      {"sub of +0 from +0", &Graph::sub, 0.0F, 0.0F, 0.0F},
      {"mul of -0 by a positive", &Graph::mul, -0.0F, 3.0F, -0.0F},
      {"add of -0 and -0", &Graph::add, -0.0F, -0.0F, -0.0F},
  };
  for (const BinaryEdge& edge : binary_edges) {
    check_both({edge.what,
                [&](Graph& g) {
                  const TensorId left = g.input("a", {1});
                  return (g.*edge.method)("op", left, g.input("b", {1}));
                },
                std::vector<float>{edge.a}, std::vector<float>{edge.b},
                TensorData{std::vector<float>{edge.expected}}});
  }
}

} // namespace
} // namespace orvik_compiler
