// The host interpreter: each kind's arithmetic, the encoder against its reference, values kept
// and dropped, and every error in its order.

#include "test_support.hpp"
#include "testing/encoder_stack.hpp"
#include "testing/plain_kernels.hpp"

#include <cmath>
#include <functional>
#include <limits>

namespace orvik_compiler {
namespace {

using testing::bits;
using testing::expect_error;
using testing::expect_value;
using testing::sample_values;

TensorId named(const Graph& graph, const std::string& name) {
  for (const Tensor& tensor : graph.tensors) {
    if (tensor.name == name) {
      return tensor.id;
    }
  }
  FAIL("no tensor " << name);
  return {};
}

/// The encoder's input and its six weights, bound by name; `prefix` names a layer of a stack.
std::vector<TensorValue> bind_encoder(const Graph& graph, std::span<const float> input,
                                      const EncoderWeights& weights,
                                      const std::vector<std::string>& prefixes = {""}) {
  std::vector<TensorValue> values{{named(graph, "input"), input}};
  for (const std::string& prefix : prefixes) {
    values.push_back({named(graph, prefix + "wq"), weights.wq});
    values.push_back({named(graph, prefix + "wk"), weights.wk});
    values.push_back({named(graph, prefix + "wv"), weights.wv});
    values.push_back({named(graph, prefix + "wo"), weights.wo});
    values.push_back({named(graph, prefix + "w1"), weights.w1});
    values.push_back({named(graph, prefix + "w2"), weights.w2});
  }
  return values;
}

TEST_CASE("the encoder graph with one head of width 1 is the reference, bit for bit",
          "[evaluate]") {
  // With one head of width 1 the graph's unscaled full-width attention and the reference's
  // per-head attention divided by sqrt(1) compute the same sums.
  for (const EncoderConfig config :
       {EncoderConfig{1, 1, 1, 1}, EncoderConfig{5, 1, 1, 7}, EncoderConfig{13, 1, 1, 300}}) {
    INFO(testing::debug(config));
    const Graph graph = expect_value(encoder_graph(config));
    const EncoderWeights weights = EncoderWeights::deterministic(config);
    const std::vector<float> input = sample_values(config.sequence, 1);
    const std::vector<std::vector<float>> outputs =
        expect_value(evaluate(graph, bind_encoder(graph, input, weights)));
    REQUIRE(outputs.size() == 1);
    CHECK(bits(outputs[0]) == bits(expect_value(encoder_reference(config, input, weights))));
  }
  // Two chained layers with the same weights are the reference applied twice.
  const EncoderConfig config{6, 1, 1, 9};
  const Graph stack = expect_value(testing::encoder_stack(config, 2));
  const EncoderWeights weights = EncoderWeights::deterministic(config);
  const std::vector<float> input = sample_values(6, 2);
  const std::vector<float> once = expect_value(encoder_reference(config, input, weights));
  const std::vector<std::vector<float>> outputs =
      expect_value(evaluate(stack, bind_encoder(stack, input, weights, {"layer0.", "layer1."})));
  CHECK(bits(outputs.at(0)) == bits(expect_value(encoder_reference(config, once, weights))));
}

TEST_CASE("the full-width encoder graph is the plain kernels' composition", "[evaluate]") {
  // The default encoder's attention over the whole width, written out with the plain kernels.
  const EncoderConfig config{8, 16, 4, 24};
  const Graph graph = expect_value(encoder_graph(config));
  const EncoderWeights w = EncoderWeights::deterministic(config);
  const std::vector<float> input = sample_values(8 * 16, 3);
  const std::uint64_t s = 8;
  const std::uint64_t h = 16;
  const std::vector<float> norm1 =
      testing::plain_layer_norm(input, s, h, encoder_layer_norm_epsilon);
  const std::vector<float> q = testing::plain_matmul(norm1, w.wq, s, h, h);
  const std::vector<float> k = testing::plain_matmul(norm1, w.wk, s, h, h);
  const std::vector<float> v = testing::plain_matmul(norm1, w.wv, s, h, h);
  std::vector<float> k_transpose(h * s);
  for (std::uint64_t r = 0; r < s; ++r) {
    for (std::uint64_t c = 0; c < h; ++c) {
      k_transpose[c * s + r] = k[r * h + c];
    }
  }
  const std::vector<float> probabilities =
      testing::plain_softmax(testing::plain_matmul(q, k_transpose, s, h, s), {s, s}, 1);
  const std::vector<float> context = testing::plain_matmul(probabilities, v, s, s, h);
  const std::vector<float> projection = testing::plain_matmul(context, w.wo, s, h, h);
  std::vector<float> residual(s * h);
  for (std::size_t i = 0; i < residual.size(); ++i) {
    residual[i] = input[i] + projection[i];
  }
  std::vector<float> up = testing::plain_matmul(
      testing::plain_layer_norm(residual, s, h, encoder_layer_norm_epsilon), w.w1, s, h, 24);
  for (float& value : up) {
    value = kernels::gelu(value);
  }
  const std::vector<float> down = testing::plain_matmul(up, w.w2, s, 24, h);
  std::vector<float> expected(s * h);
  for (std::size_t i = 0; i < expected.size(); ++i) {
    expected[i] = residual[i] + down[i];
  }
  const std::vector<std::vector<float>> outputs =
      expect_value(evaluate(graph, bind_encoder(graph, input, w)));
  CHECK(bits(outputs.at(0)) == bits(expected));
}

/// A graph of one operation on inputs "a" (and "b"), its output marked.
struct KindCase {
  const char* what;
  std::vector<std::uint64_t> shape;
  std::function<Result<TensorId>(Graph&, TensorId, TensorId)> build;
  std::vector<float> a;
  std::vector<float> b;
  std::vector<float> expected;
};

TEST_CASE("each kind computes its kernel's values", "[evaluate]") {
  constexpr float infinity = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> norm =
      testing::plain_layer_norm(std::vector<float>{1, 2, 3, 4}, 1, 4, 1e-5F);
  const std::vector<KindCase> cases{
      {"matmul",
       {2, 2},
       [](Graph& g, TensorId a, TensorId b) { return g.matmul("y", a, b); },
       {1, 2, 3, 4},
       {5, 6, 7, 8},
       {19, 22, 43, 50}},
      {"add, left operand first; -2 + 2 is +0",
       {3},
       [](Graph& g, TensorId a, TensorId b) { return g.add("y", a, b); },
       {1.5F, -2, nan},
       {0.25F, 2, 1},
       {1.75F, 0, nan}},
      {"mul",
       {3},
       [](Graph& g, TensorId a, TensorId b) { return g.mul("y", a, b); },
       {3, -0.5F, infinity},
       {2, 4, 0},
       {6, -2, nan}},
      {"reshape keeps the data",
       {2, 3},
       [](Graph& g, TensorId a, TensorId) {
         return g.reshape("y", a, {3, 1, 2});
       },
       {1, 2, 3, 4, 5, 6},
       {},
       {1, 2, 3, 4, 5, 6}},
      {"transpose",
       {2, 3},
       [](Graph& g, TensorId a, TensorId) {
         return g.transpose("y", a, {1, 0});
       },
       {1, 2, 3, 4, 5, 6},
       {},
       {1, 4, 2, 5, 3, 6}},
      {"layer_norm over the last axis",
       {2, 4},
       [](Graph& g, TensorId a, TensorId) { return g.layer_norm("y", a, 1e-5F); },
       {2, 2, 2, 2, 1, 2, 3, 4},
       {},
       {0, 0, 0, 0, norm[0], norm[1], norm[2], norm[3]}},
      {"softmax along the rows",
       {2, 2},
       [](Graph& g, TensorId a, TensorId) { return g.softmax("y", a, 1); },
       {1000, 1000, 0, 0},
       {},
       {0.5F, 0.5F, 0.5F, 0.5F}},
      {"softmax along the columns",
       {2, 2},
       [](Graph& g, TensorId a, TensorId) { return g.softmax("y", a, 0); },
       {0, 1000, 0, 1000},
       {},
       {0.5F, 0.5F, 0.5F, 0.5F}},
      {"gelu",
       {4},
       [](Graph& g, TensorId a, TensorId) { return g.gelu("y", a); },
       {0, 10, -10, nan},
       {},
       {0, 10, -0.0F, nan}},
  };
  for (const KindCase& c : cases) {
    INFO(c.what);
    Graph graph;
    const TensorId a = graph.input("a", c.shape);
    const TensorId b = graph.input("b", c.shape);
    graph.mark_output(expect_value(c.build(graph, a, b)));
    std::vector<TensorValue> values{{a, c.a}};
    if (!c.b.empty()) {
      values.push_back({b, c.b});
    }
    const std::vector<std::vector<float>> outputs = expect_value(evaluate(graph, values));
    REQUIRE(outputs.size() == 1);
    CHECK(bits(outputs[0]) == bits(c.expected));
  }
}

TEST_CASE("softmax along a middle axis is each slice's softmax", "[evaluate]") {
  Graph graph;
  const TensorId x = graph.input("x", {3, 5, 4});
  graph.mark_output(expect_value(graph.softmax("y", x, 1)));
  std::vector<float> data = sample_values(60, 4);
  for (float& value : data) {
    value *= 30.0F;
  }
  const std::vector<std::vector<float>> outputs = expect_value(evaluate(graph, {{{x, data}}}));
  // Slice (o, i) holds the values at o x 20 + a x 4 + i for a = 0 .. 4.
  for (std::size_t o = 0; o < 3; ++o) {
    for (std::size_t i = 0; i < 4; ++i) {
      float maximum = -std::numeric_limits<float>::infinity();
      for (std::size_t a = 0; a < 5; ++a) {
        maximum = std::max(maximum, data[o * 20 + a * 4 + i]);
      }
      float exponentials[5];
      float total = 0.0F;
      for (std::size_t a = 0; a < 5; ++a) {
        exponentials[a] = std::exp(data[o * 20 + a * 4 + i] - maximum);
        total = exponentials[a] + total;
      }
      for (std::size_t a = 0; a < 5; ++a) {
        CHECK(outputs[0][o * 20 + a * 4 + i] == exponentials[a] / total);
      }
    }
  }
}

TEST_CASE("values taken over, kept and copied give the same results", "[evaluate]") {
  // g dies at s = g + g, which takes over its storage while reading it twice; h dies at
  // t = x + h, which takes over the right operand's storage; u is read after it is marked as an
  // output, and the bound x is an output as well, twice.
  Graph graph;
  const TensorId x = graph.input("x", {2, 3});
  const TensorId unused = graph.weight("unused", {1});
  const TensorId g = expect_value(graph.gelu("g", x));
  const TensorId s = expect_value(graph.add("s", g, g));
  const TensorId h = expect_value(graph.mul("h", s, x));
  const TensorId t = expect_value(graph.add("t", x, h));
  const TensorId u = expect_value(graph.reshape("u", t, {3, 2}));
  const TensorId w = expect_value(graph.softmax("w", u, 0));
  expect_value(graph.gelu("dead", w));
  graph.mark_output(u);
  graph.mark_output(x);
  graph.mark_output(w);
  graph.mark_output(x);
  const std::vector<float> data{-1.5F, -0.25F, 0, 0.5F, 1, 3};
  const std::vector<float> one{9};
  const std::vector<std::vector<float>> outputs =
      expect_value(evaluate(graph, {{{x, data}, {unused, one}}}));
  REQUIRE(outputs.size() == 4);
  std::vector<float> expected_t(6);
  for (std::size_t i = 0; i < 6; ++i) {
    const float gelu = kernels::gelu(data[i]);
    const float sum = gelu + gelu;
    const float product = sum * data[i];
    expected_t[i] = data[i] + product;
  }
  CHECK(bits(outputs[0]) == bits(expected_t));
  CHECK(outputs[1] == data);
  CHECK(bits(outputs[2]) == bits(testing::plain_softmax(expected_t, {3, 2}, 0)));
  CHECK(outputs[3] == data);
}

/// A graph x [4, 8] -> norm -> y = norm x w [8, 2], y marked, built through the builder.
Graph small_graph() {
  Graph graph;
  const TensorId x = graph.input("x", {4, 8});
  const TensorId w = graph.weight("w", {8, 2});
  const TensorId norm = expect_value(graph.layer_norm("norm", x, 1e-5F));
  graph.mark_output(expect_value(graph.matmul("y", norm, w)));
  return graph;
}

TEST_CASE("each evaluation error, first failure wins", "[evaluate]") {
  const std::vector<float> x(32, 1.0F);
  const std::vector<float> w(16, 1.0F);
  const std::vector<float> three(3, 1.0F);
  struct Case {
    const char* what;
    std::function<void(Graph&)> corrupt;
    std::vector<TensorValue> values;
    const char* message;
  };
  const TensorId tx{0};
  const TensorId tw{1};
  const TensorId tnorm{2};
  const std::vector<Case> cases{
      {"validation",
       [](Graph& g) { g.outputs.clear(); },
       {{tx, x}, {tw, w}},
       "graph has no outputs"},
      {"ops out of evaluation order",
       [](Graph& g) {
         std::swap(g.ops[0], g.ops[1]);
         g.ops[0].id = OpId{0};
         g.ops[1].id = OpId{1};
         g.tensors[2].producer = OpId{1};
         g.tensors[3].producer = OpId{0};
       },
       {{tx, x}, {tw, w}},
       "invalid op y"},
      {"matmul with one operand",
       [](Graph& g) { g.ops[1].inputs.pop_back(); },
       {{tx, x}, {tw, w}},
       "invalid op y"},
      {"matmul output of the wrong shape",
       [](Graph& g) {
         g.tensors[3].shape = {4, 3};
       },
       {{tx, x}, {tw, w}},
       "invalid op y"},
      {"layer_norm changing the shape",
       [](Graph& g) { g.tensors[2].shape = {32}; },
       {{tx, x}, {tw, w}},
       "invalid op norm"},
      {"softmax axis past the rank",
       [](Graph& g) { g.ops[0].kind = OpKind::Softmax{2}; },
       {{tx, x}, {tw, w}},
       "invalid op norm"},
      {"transpose repeating an axis",
       [](Graph& g) {
         g.ops[0].kind = OpKind::Transpose{{0, 0}};
       },
       {{tx, x}, {tw, w}},
       "invalid op norm"},
      {"transpose of a shape it does not give",
       [](Graph& g) {
         g.ops[0].kind = OpKind::Transpose{{1, 0}};
       },
       {{tx, x}, {tw, w}},
       "invalid op norm"},
      {"reshape to its recorded shape only",
       [](Graph& g) { g.ops[0].kind = OpKind::Reshape{{32}}; },
       {{tx, x}, {tw, w}},
       "invalid op norm"},
      {"reshape to a shape whose element count overflows",
       [](Graph& g) {
         g.ops[0].kind = OpKind::Reshape{{std::uint64_t{1} << 32U, std::uint64_t{1} << 32U}};
       },
       {{tx, x}, {tw, w}},
       "invalid op norm"},
      {"add of shapes that differ",
       [](Graph& g) { g.ops[1].kind = OpKind::Add{}; },
       {{tx, x}, {tw, w}},
       "invalid op y"},
      {"gelu with two operands",
       [](Graph& g) {
         g.ops[0].kind = OpKind::Gelu{};
         g.ops[0].inputs.push_back(TensorId{0});
       },
       {{tx, x}, {tw, w}},
       "invalid op norm"},
      {"bound twice before a wrong size",
       [](Graph&) {},
       {{tw, three}, {tx, x}, {tw, w}},
       "tensor w is bound more than once"},
      {"computed before a wrong size",
       [](Graph&) {},
       {{tw, three}, {tnorm, x}},
       "tensor norm is computed, not bound"},
      {"a wrong size before a missing value",
       [](Graph&) {},
       {{tw, three}},
       "tensor w has 3 values, expected 16"},
      {"a missing value", [](Graph&) {}, {{tw, w}}, "no value for tensor x"},
      {"a missing output that nothing reads",
       [](Graph& g) { g.mark_output(g.input("z", {1})); },
       {{tx, x}, {tw, w}},
       "no value for tensor z"},
  };
  for (const Case& c : cases) {
    INFO(c.what);
    Graph graph = small_graph();
    c.corrupt(graph);
    CHECK(expect_error(evaluate(graph, c.values)) == CompileError::graph(c.message));
  }
  // Ids that name no tensor are caller errors.
  const Graph graph = small_graph();
  CHECK_THROWS_AS(evaluate(graph, {{{TensorId{9}, x}}}), std::out_of_range);
  Graph stray_output = small_graph();
  stray_output.outputs.push_back(TensorId{9});
  CHECK_THROWS_AS(evaluate(stray_output, {{{tx, x}, {tw, w}}}), std::out_of_range);
  Graph huge = small_graph();
  huge.input("huge", {std::uint64_t{1} << 40U, std::uint64_t{1} << 40U});
  CHECK_THROWS_AS(evaluate(huge, {{{tx, x}, {tw, w}}}), std::overflow_error);
  // Correct values evaluate.
  CHECK(expect_value(evaluate(graph, {{{tx, x}, {tw, w}}})).size() == 1);
}

} // namespace
} // namespace orvik_compiler
