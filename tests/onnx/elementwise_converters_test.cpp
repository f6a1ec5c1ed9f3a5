// Element-wise operators: the operations they import to, the values those compute against ONNX's
// definitions, and the forms refused.

#include "onnx_test_support.hpp"

#include <orvik_compiler/evaluate.hpp>

#include <cmath>
#include <functional>
#include <map>

namespace orvik_compiler::testing {
namespace {

using Lines = std::vector<std::string>;
using Inputs = std::map<std::string, std::vector<float>>;

/// The values of the model's outputs with `inputs` bound by name and its weights bound.
std::vector<std::vector<float>> run(const OnnxModel& model, const Inputs& inputs) {
  std::vector<TensorValue> values;
  for (const auto& [name, data] : inputs) {
    for (const Tensor& tensor : model.graph.tensors) {
      if (tensor.name == name && !tensor.producer) {
        values.push_back({tensor.id, std::span<const float>(data)});
      }
    }
  }
  for (const WeightValues& weight : model.weights) {
    values.push_back(weight.binding());
  }
  return expect_value(evaluate(model.graph, values));
}

/// Checks `actual` against `expected` element by element within a relative 1e-6.
void check_close(const std::vector<float>& actual, const std::vector<double>& expected) {
  REQUIRE(actual.size() == expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) {
    CAPTURE(i, actual[i], expected[i]);
    CHECK(std::abs(static_cast<double>(actual[i]) - expected[i]) <=
          1e-6 * std::max(1.0, std::abs(expected[i])));
  }
}

struct UnaryCase {
  const char* op_type;
  const char* kind;
  std::function<double(double)> reference;
  std::vector<float> x;
};

TEST_CASE("each function of one tensor is its operation and computes ONNX's function", "[onnx]") {
  const std::vector<float> any{-2.5F, -1.0F, -0.0F, 0.0F, 0.75F, 3.0F};
  const std::vector<float> positive{0.125F, 0.5F, 1.0F, 2.0F, 10.0F, 1000.0F};
  const std::vector<UnaryCase> cases{
      {"Erf", "Erf", [](double x) { return std::erf(x); }, any},
      {"Tanh", "Tanh", [](double x) { return std::tanh(x); }, any},
      {"Exp", "Exp", [](double x) { return std::exp(x); }, any},
      {"Log", "Log", [](double x) { return std::log(x); }, positive},
      {"Sqrt", "Sqrt", [](double x) { return std::sqrt(x); }, positive},
      {"Reciprocal", "Reciprocal", [](double x) { return 1.0 / x; }, positive},
      {"Neg", "Neg", [](double x) { return -x; }, any},
      {"Abs", "Abs", [](double x) { return std::abs(x); }, any},
      {"Relu", "Relu", [](double x) { return x < 0 ? 0.0 : x; }, any},
      {"Sigmoid", "Sigmoid", [](double x) { return 1.0 / (1.0 + std::exp(-x)); }, any},
  };
  for (const std::int64_t opset : {11, 17}) {
    for (const UnaryCase& unary : cases) {
      CAPTURE(opset, unary.op_type);
      ModelBuilder model(opset);
      model.input("x", {2, 3});
      model.node(unary.op_type, {"x"}, {"y"});
      const OnnxModel imported = expect_value(import_built(model.output("y")));
      CHECK(describe(imported.graph) ==
            Lines{std::string("y = ") + unary.kind + "(x)", "-> y [2, 3]"});
      std::vector<double> expected;
      for (const float x : unary.x) {
        expected.push_back(unary.reference(x));
      }
      check_close(run(imported, {{"x", unary.x}}).at(0), expected);
    }
  }
}

struct BinaryCase {
  const char* what;
  std::function<ModelBuilder()> model;
  Lines expected;
  Inputs inputs;
  /// Exact: every operation here is correctly rounded or exact on these values.
  std::vector<float> values;
};

TEST_CASE("binary and variadic operators broadcast their operands and compute ONNX's results",
          "[onnx]") {
  const std::vector<BinaryCase> cases{
      {"two activations [2, 1, 4] and [3, 1]: a Broadcast of each",
       [] {
         ModelBuilder model;
         model.input("x", {2, 1, 4}).input("y", {3, 1});
         model.node("Add", {"x", "y"}, {"z"});
         return model.output("z");
       },
       {"x/broadcast = Broadcast { shape: [2, 3, 4] }(x)",
        "y/broadcast = Broadcast { shape: [2, 3, 4] }(y)", "z = Add(x/broadcast, y/broadcast)",
        "-> z [2, 3, 4]"},
       {{"x", {1, 2, 3, 4, 5, 6, 7, 8}}, {"y", {10, 20, 30}}},
       {11, 12, 13, 14, 21, 22, 23, 24, 31, 32, 33, 34,
        15, 16, 17, 18, 25, 26, 27, 28, 35, 36, 37, 38}},
      {"an activation that only gains leading axes is reshaped",
       [] {
         ModelBuilder model;
         model.input("x", {2, 2}).input("y", {1, 1, 2});
         model.node("Mul", {"x", "y"}, {"z"});
         return model.output("z");
       },
       {"x/broadcast = Reshape { shape: [1, 2, 2] }(x)",
        "y/broadcast = Broadcast { shape: [1, 2, 2] }(y)", "z = Mul(x/broadcast, y/broadcast)",
        "-> z [1, 2, 2]"},
       {{"x", {1, 2, 3, 4}}, {"y", {10, -1}}},
       {10, -2, 30, -4}},
      {"Sub with a constant on the left keeps its order",
       [] {
         ModelBuilder model;
         model.input("x", {2, 2}).initializer("c", {2}, {10, 100});
         model.node("Sub", {"c", "x"}, {"z"});
         return model.output("z");
       },
       {"z = Sub(c/broadcast, x)", "-> z [2, 2]"},
       {{"x", {1, 2, 3, 4}}},
       {9, 98, 7, 96}},
      {"Div by a constant is the quotient, not a product by the reciprocal",
       [] {
         ModelBuilder model;
         model.input("x", {4}).constant("c", {}, {3.0F});
         model.node("Div", {"x", "c"}, {"z"});
         return model.output("z");
       },
       {"z = Div(x, c/broadcast)", "-> z [4]"},
       {{"x", {1, 5, 7, 10}}},
       {1.0F / 3.0F, 5.0F / 3.0F, 7.0F / 3.0F, 10.0F / 3.0F}},
      {"Pow by an int64 constant takes it as floats",
       [] {
         ModelBuilder model;
         model.input("x", {3}).integers("e", {3}, {3, -1, 0});
         model.node("Pow", {"x", "e"}, {"z"});
         return model.output("z");
       },
       {"z = Pow(x, e/float)", "-> z [3]"},
       {{"x", {2, 4, -3}}},
       {8, 0.25F, 1}},
      {"Max of three operands folds from the left, broadcasting as it goes",
       [] {
         ModelBuilder model(13);
         model.input("a", {2, 2}).input("b", {2}).initializer("c", {2, 1}, {0.5F, -5.0F});
         model.node("Max", {"a", "b", "c"}, {"m"});
         return model.output("m");
       },
       {"b/broadcast = Broadcast { shape: [2, 2] }(b)", "m/partial = Maximum(a, b/broadcast)",
        "m = Maximum(m/partial, c/broadcast)", "-> m [2, 2]"},
       {{"a", {1, -1, -2, 4}}, {"b", {0, 2}}},
       {1, 2, 0, 4}},
      {"Min of one operand is that operand",
       [] {
         ModelBuilder model(13);
         model.input("a", {2});
         model.node("Min", {"a"}, {"m"});
         model.node("Neg", {"m"}, {"n"});
         return model.output("n");
       },
       {"n = Neg(a)", "-> n [2]"},
       {{"a", {1, -2}}},
       {-1, 2}},
  };
  for (const BinaryCase& binary : cases) {
    SECTION(binary.what) {
      const OnnxModel model = expect_value(import_built(binary.model()));
      CHECK(describe(model.graph) == binary.expected);
      CHECK(run(model, binary.inputs).at(0) == binary.values);
    }
  }
}

struct Refusal {
  const char* what;
  std::function<ModelBuilder()> model;
  std::string message;
};

TEST_CASE("one value filled to one shape is one weight, however many constants hold it", "[onnx]") {
  // Exporters write a layer's scale as a constant of its own in every layer.
  ModelBuilder model;
  model.input("x", {2, 3});
  model.initializer("half", {}, {0.5F}).initializer("also_half", {1}, {0.5F});
  model.initializer("quarter", {}, {0.25F});
  model.node("Mul", {"x", "half"}, {"a"});
  model.node("Mul", {"a", "also_half"}, {"b"});
  model.node("Mul", {"b", "quarter"}, {"y"});
  const OnnxModel imported = expect_value(import_built(model.output("y")));
  CHECK(describe(imported.graph) ==
        std::vector<std::string>{"a = Mul(x, half/broadcast)", "b = Mul(a, half/broadcast)",
                                 "y = Mul(b, quarter/broadcast)", "-> y [2, 3]"});
  CHECK(imported.weights.size() == 2);
  CHECK(run(imported, {{"x", {1, 2, 3, 4, 5, 6}}}) ==
        std::vector<std::vector<float>>{{0.0625F, 0.125F, 0.1875F, 0.25F, 0.3125F, 0.375F}});
}

TEST_CASE("element-wise forms the graph cannot hold are refused", "[onnx]") {
  const std::vector<Refusal> refusals{
      {"a function of an integer tensor",
       [] {
         ModelBuilder model;
         model.input("x", {2}, onnx::TensorProto::INT32);
         model.node("Abs", {"x"}, {"y"}, "abs");
         return model.output("y", onnx::TensorProto::INT32);
       },
       "model.onnx: node 0 \"abs\" (Abs): input \"x\" has data type INT32; only FLOAT (float32) "
       "is supported"},
      {"Max of operands that do not broadcast, after the first pair",
       [] {
         ModelBuilder model(13);
         model.input("a", {2, 3}).input("b", {3}).input("c", {2});
         model.node("Max", {"a", "b", "c"}, {"m"});
         return model.output("m", onnx::TensorProto::FLOAT, {{2, 3}});
       },
       "model.onnx: node 0 \"\" (Max): shapes [2, 3] and [2] do not broadcast"},
      {"an int64 exponent that is no exact float",
       [] {
         ModelBuilder model;
         model.input("x", {1}).integers("e", {1}, {16777217});
         model.node("Pow", {"x", "e"}, {"y"});
         return model.output("y");
       },
       "model.onnx: node 0 \"\" (Pow): exponent 16777217 of \"e\" is no exact float32"},
  };
  for (const Refusal& refusal : refusals) {
    SECTION(refusal.what) {
      CHECK(import_error(refusal.model()) == refusal.message);
    }
  }
}

} // namespace
} // namespace orvik_compiler::testing
