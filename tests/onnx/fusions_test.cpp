// The GELU and layer normalisation fusions: every order exporters write, and the near misses
// that must be left alone.

#include "onnx_test_support.hpp"
#include "testing/onnx/encoder_model.hpp"

#include <algorithm>
#include <functional>
#include <sstream>

namespace orvik_compiler::testing {
namespace {

/// Whether an operation of the graph is of the kind whose debug text starts with `kind`.
bool has_operation(const Graph& graph, const std::string& kind) {
  return std::any_of(graph.ops.begin(), graph.ops.end(), [&](const Op& op) {
    std::ostringstream text;
    text << op.kind;
    return text.str().starts_with(kind);
  });
}

/// Writes the nodes that make "cube" from "x".
using CubeWriter = std::function<void(ModelBuilder&)>;

void pow_cube(ModelBuilder& model) {
  model.node("Pow", {"x", "three"}, {"cube"});
}

/// The products that exporters write for the cube, in both groupings and operand orders.
const std::vector<std::pair<const char*, CubeWriter>> product_cubes{
    {"x * (x * x)",
     [](ModelBuilder& model) {
       model.node("Mul", {"x", "x"}, {"square"});
       model.node("Mul", {"x", "square"}, {"cube"});
     }},
    {"(x * x) * x",
     [](ModelBuilder& model) {
       model.node("Mul", {"x", "x"}, {"square"});
       model.node("Mul", {"square", "x"}, {"cube"});
     }},
};

/// The inner part of the tanh form of GELU of "x", up to "t" = Tanh(...) and "u" = 1 + t, with
/// the constant operands on the side `constants_first` says.
ModelBuilder gelu_inner(bool constants_first, const CubeWriter& write_cube) {
  ModelBuilder model;
  model.input("x", {2, 3});
  model.constant("three", {}, {3.0F}).constant("cubic", {1}, {0.044715F});
  model.constant("root", {}, {0.7978845608F}).constant("one", {}, {1.0F});
  model.constant("half", {}, {0.5F});
  const auto binary = [&](const char* op, const std::string& value, const std::string& constant,
                          const std::string& output) {
    if (constants_first) {
      model.node(op, {constant, value}, {output});
    } else {
      model.node(op, {value, constant}, {output});
    }
  };
  write_cube(model);
  binary("Mul", "cube", "cubic", "cubic_term");
  model.node("Add", {"x", "cubic_term"}, {"inner"});
  binary("Mul", "inner", "root", "scaled");
  model.node("Tanh", {"scaled"}, {"t"});
  binary("Add", "t", "one", "u");
  return model;
}

/// The three groupings of the outer product 0.5 * x * u.
enum class Grouping { HalfXFirst, XTimesUFirst, UTimesHalfFirst };

ModelBuilder gelu(bool constants_first, Grouping grouping,
                  const CubeWriter& write_cube = pow_cube) {
  ModelBuilder model = gelu_inner(constants_first, write_cube);
  switch (grouping) {
  case Grouping::HalfXFirst:
    model.node("Mul", {"half", "x"}, {"half_x"});
    model.node("Mul", {"u", "half_x"}, {"y"});
    break;
  case Grouping::XTimesUFirst:
    model.node("Mul", {"x", "u"}, {"xu"});
    model.node("Mul", {"xu", "half"}, {"y"});
    break;
  case Grouping::UTimesHalfFirst:
    model.node("Mul", {"half", "u"}, {"half_u"});
    model.node("Mul", {"half_u", "x"}, {"y"});
    break;
  }
  return model.output("y");
}

TEST_CASE("the tanh form of GELU is one Gelu in every order exporters write", "[onnx]") {
  std::vector<std::pair<const char*, CubeWriter>> cubes{{"Pow(x, 3)", pow_cube}};
  cubes.insert(cubes.end(), product_cubes.begin(), product_cubes.end());
  for (const auto& [cube, write_cube] : cubes) {
    for (const bool constants_first : {false, true}) {
      for (const Grouping grouping :
           {Grouping::HalfXFirst, Grouping::XTimesUFirst, Grouping::UTimesHalfFirst}) {
        CAPTURE(cube, constants_first, static_cast<int>(grouping));
        const OnnxModel model =
            expect_value(import_built(gelu(constants_first, grouping, write_cube)));
        CHECK(describe(model.graph) == std::vector<std::string>{"y = Gelu(x)", "-> y [2, 3]"});
        CHECK(model.weights.empty());
      }
    }
  }
}

struct NearMiss {
  const char* what;
  std::function<void(ModelBuilder&)> change;
};

TEST_CASE("a GELU that does not match exactly is left alone", "[onnx]") {
  const std::vector<NearMiss> misses{
      {"another cubic coefficient",
       [](ModelBuilder& model) {
         *model.model().mutable_graph()->mutable_node(1)->mutable_attribute(0)->mutable_t() =
             float_tensor("", {1}, {0.045F});
       }},
      {"a square instead of a cube",
       [](ModelBuilder& model) {
         *model.model().mutable_graph()->mutable_node(0)->mutable_attribute(0)->mutable_t() =
             float_tensor("", {}, {2.0F});
       }},
      {"an inner value that is also an output", [](ModelBuilder& model) { model.output("t"); }},
      {"an inner value read by another node",
       [](ModelBuilder& model) {
         model.node("Mul", {"scaled", "half"}, {"other"});
         model.output("other");
       }},
      {"half of another value",
       [](ModelBuilder& model) {
         model.input("z", {2, 3});
         model.model().mutable_graph()->mutable_node(11)->set_input(1, "z");
       }},
  };
  for (const NearMiss& miss : misses) {
    SECTION(miss.what) {
      ModelBuilder model = gelu(false, Grouping::HalfXFirst);
      miss.change(model);
      // Converted node by node instead.
      const OnnxModel imported = expect_value(import_built(model));
      CHECK_FALSE(has_operation(imported.graph, "Gelu"));
      CHECK(has_operation(imported.graph, "Pow"));
      CHECK(has_operation(imported.graph, "Tanh"));
    }
  }
}

TEST_CASE("a GELU whose cube is a product that is not x * x * x is left alone", "[onnx]") {
  const std::vector<std::pair<const char*, CubeWriter>> misses{
      {"x * (x * z)",
       [](ModelBuilder& model) {
         model.input("z", {2, 3});
         model.node("Mul", {"x", "z"}, {"square"});
         model.node("Mul", {"x", "square"}, {"cube"});
       }},
      {"z * (x * x)",
       [](ModelBuilder& model) {
         model.input("z", {2, 3});
         model.node("Mul", {"x", "x"}, {"square"});
         model.node("Mul", {"square", "z"}, {"cube"});
       }},
      {"(z * z) * x",
       [](ModelBuilder& model) {
         model.input("z", {2, 3});
         model.node("Mul", {"z", "z"}, {"square"});
         model.node("Mul", {"square", "x"}, {"cube"});
       }},
      {"(x * x) * (x * x)",
       [](ModelBuilder& model) {
         model.node("Mul", {"x", "x"}, {"square"});
         model.node("Mul", {"square", "square"}, {"cube"});
       }},
      {"a square instead of a cube",
       [](ModelBuilder& model) {
         model.node("Mul", {"x", "x"}, {"cube"});
       }},
      {"(x + x) * x",
       [](ModelBuilder& model) {
         model.node("Add", {"x", "x"}, {"square"});
         model.node("Mul", {"square", "x"}, {"cube"});
       }},
      {"a square that is also an output",
       [](ModelBuilder& model) {
         product_cubes[0].second(model);
         model.output("square");
       }},
      {"a square read by another node",
       [](ModelBuilder& model) {
         product_cubes[1].second(model);
         model.node("Neg", {"square"}, {"other"});
         model.output("other");
       }},
  };
  for (const auto& [what, write_cube] : misses) {
    SECTION(what) {
      // Converted node by node instead.
      const OnnxModel imported =
          expect_value(import_built(gelu(false, Grouping::HalfXFirst, write_cube)));
      CHECK_FALSE(has_operation(imported.graph, "Gelu"));
      CHECK(has_operation(imported.graph, "Tanh"));
    }
  }
}

/// The layer normalisation of "x" [2, 3, 4] over `axes` written out, up to "n"; "eps" is the
/// epsilon.
ModelBuilder written_out_norm(const std::vector<std::int64_t>& axes) {
  ModelBuilder model;
  model.input("x", {2, 3, 4}).initializer("two", {}, {2.0F}).initializer("eps", {}, {0.125F});
  set_attribute(model.node("ReduceMean", {"x"}, {"mean"}), "axes", axes);
  model.node("Sub", {"x", "mean"}, {"d"});
  model.node("Pow", {"d", "two"}, {"d2"});
  set_attribute(model.node("ReduceMean", {"d2"}, {"var"}), "axes", axes);
  model.node("Add", {"var", "eps"}, {"var_eps"});
  model.node("Sqrt", {"var_eps"}, {"std"});
  model.node("Div", {"d", "std"}, {"n"});
  return model;
}

TEST_CASE("a constant of huge rank read by many GELU candidates gives a short error", "[onnx]") {
  // Every Tanh makes the matcher look at the constant beside it; it must not walk its 100,000
  // axes each time, and the message that ends the import lists a few of them only. (A few
  // candidates: each product is itself of rank 100,000, and many would meet the memory limit.)
  ModelBuilder model;
  model.input("x", {2});
  model.initializer("half", std::vector<std::int64_t>(100000, 1), {0.5F});
  for (int i = 0; i < 5; ++i) {
    const std::string n = std::to_string(i);
    model.node("Mul", {"x", "half"}, {"h" + n});
    model.node("Tanh", {"h" + n}, {"t" + n});
  }
  const std::string message =
      import_error(model.output("t0", onnx::TensorProto::FLOAT, std::vector<Extent>{2}));
  INFO(message);
  CHECK(message.size() < 300);
  CHECK(message.find("... 99984 more]") != std::string::npos);
}

TEST_CASE("the written-out layer normalisation is one LayerNorm and its scale and bias", "[onnx]") {
  SECTION("with a constant scale and bias, over the last axis") {
    ModelBuilder model = written_out_norm({-1});
    model.initializer("gamma", {4}, {1, 2, 3, 4}).initializer("beta", {4}, {0, 0, 1, 1});
    model.node("Mul", {"gamma", "n"}, {"scaled"});
    model.node("Add", {"scaled", "beta"}, {"y"});
    const OnnxModel imported = expect_value(import_built(model.output("y")));
    CHECK(describe(imported.graph) ==
          std::vector<std::string>{"n = LayerNorm { epsilon: 0.125 }(x)",
                                   "scaled = Mul(n, gamma/broadcast)",
                                   "y = Add(scaled, beta/broadcast)", "-> y [2, 3, 4]"});
  }
  SECTION("alone, over the last axis named by its index") {
    const OnnxModel imported = expect_value(import_built(written_out_norm({2}).output("n")));
    CHECK(describe(imported.graph) ==
          std::vector<std::string>{"n = LayerNorm { epsilon: 0.125 }(x)", "-> n [2, 3, 4]"});
  }
  SECTION("over the two trailing axes, by rows") {
    const OnnxModel imported = expect_value(import_built(written_out_norm({-1, -2}).output("n")));
    CHECK(describe(imported.graph) ==
          std::vector<std::string>{"n/rows = Reshape { shape: [2, 12] }(x)",
                                   "n/rows_normalized = LayerNorm { epsilon: 0.125 }(n/rows)",
                                   "n = Reshape { shape: [2, 3, 4] }(n/rows_normalized)",
                                   "-> n [2, 3, 4]"});
  }
  SECTION("a scale that is not a constant stays a Mul of its own") {
    ModelBuilder model = written_out_norm({-1});
    model.input("gamma", {2, 3, 4});
    model.node("Mul", {"n", "gamma"}, {"y"});
    const OnnxModel imported = expect_value(import_built(model.output("y")));
    CHECK(describe(imported.graph) ==
          std::vector<std::string>{"n = LayerNorm { epsilon: 0.125 }(x)", "y = Mul(n, gamma)",
                                   "-> y [2, 3, 4]"});
  }
}

TEST_CASE("a layer normalisation that does not match exactly is left alone", "[onnx]") {
  const std::vector<std::pair<const char*, std::function<ModelBuilder()>>> misses{
      {"over a leading axis", [] { return written_out_norm({0}).output("n"); }},
      {"over axes that are not the trailing ones",
       [] {
         return written_out_norm({-1, -3}).output("n");
       }},
      {"a cube of the deviation",
       [] {
         ModelBuilder model = written_out_norm({-1});
         model.model().mutable_graph()->mutable_initializer(0)->set_raw_data(
             float_tensor("", {}, {3.0F}).raw_data());
         return model.output("n");
       }},
      {"a deviation read a third time",
       [] {
         ModelBuilder model = written_out_norm({-1});
         model.node("Mul", {"d", "two"}, {"other"});
         return model.output("n").output("other");
       }},
      {"an epsilon that is not a constant",
       [] {
         ModelBuilder model = written_out_norm({-1});
         model.model().mutable_graph()->mutable_initializer()->RemoveLast();
         model.input("eps", {1});
         return model.output("n");
       }},
  };
  for (const auto& [what, model] : misses) {
    SECTION(what) {
      // Converted node by node instead.
      const OnnxModel imported = expect_value(import_built(model()));
      CHECK_FALSE(has_operation(imported.graph, "LayerNorm"));
      CHECK(has_operation(imported.graph, "ReduceMean"));
    }
  }
}

TEST_CASE("an encoder written out imports to the same graph as with LayerNormalization", "[onnx]") {
  const EncoderConfig config{4, 8, 2, 16};
  const OnnxModel written_out =
      expect_value(import_built(encoder_model(config, 2, NormForm::WrittenOut)));
  const OnnxModel operators =
      expect_value(import_built(encoder_model(config, 2, NormForm::Operator)));
  CHECK(written_out == operators);
  // Per layer the fifteen operations of the encoder layer, and a Mul and an Add for the scale
  // and bias of each of the two normalisations.
  CHECK(written_out.graph.ops.size() == 2 * (15 + 4));
  std::size_t gelus = 0;
  for (const Op& op : written_out.graph.ops) {
    gelus += std::holds_alternative<OpKind::Gelu>(op.kind.value) ? 1U : 0U;
  }
  CHECK(gelus == 2);
}

/// The values of the imported model's weights, and `input` for its input.
std::vector<TensorValue> imported_values(const OnnxModel& model, std::span<const float> input) {
  std::vector<TensorValue> values{{model.graph.tensors[0].id, input}};
  for (const WeightValues& weight : model.weights) {
    values.push_back(weight.binding());
  }
  return values;
}

TEST_CASE("an imported encoder layer computes what the built-in one computes, bit for bit",
          "[onnx]") {
  const EncoderConfig config{8, 16, 1, 32};
  std::vector<float> input(config.sequence * config.hidden);
  for (std::size_t i = 0; i < input.size(); ++i) {
    input[i] = static_cast<float>(static_cast<int>(i % 13) - 6) / 4.0F;
  }
  const Graph built = expect_value(encoder_graph(config));
  const EncoderWeights weights = EncoderWeights::deterministic(config);
  const auto named = [&](const char* name) {
    for (const Tensor& tensor : built.tensors) {
      if (tensor.name == name) {
        return tensor.id;
      }
    }
    FAIL("no tensor " << name);
    return TensorId{};
  };
  const std::vector<TensorValue> built_values{{named("input"), input},   {named("wq"), weights.wq},
                                              {named("wk"), weights.wk}, {named("wv"), weights.wv},
                                              {named("wo"), weights.wo}, {named("w1"), weights.w1},
                                              {named("w2"), weights.w2}};
  const std::vector<std::vector<float>> expected = expect_value(evaluate(built, built_values));
  // A scale of 1 and a bias of 0 change no value, and the fused GELU is the library's own.
  for (const NormForm form : {NormForm::Operator, NormForm::WrittenOut}) {
    const OnnxModel model = expect_value(import_built(encoder_model(config, 1, form)));
    CHECK(expect_value(evaluate(model.graph, imported_values(model, input))) == expected);
  }
}

TEST_CASE("a fused GELU is the library's gelu of every element", "[onnx]") {
  const std::vector<float> x{-3.0F, -0.5F, 0.0F, 0.25F, 1.0F, 7.5F};
  std::vector<float> expected;
  for (const float value : x) {
    expected.push_back(kernels::gelu(value));
  }
  for (const CubeWriter& write_cube : {CubeWriter(pow_cube), product_cubes[0].second}) {
    const OnnxModel model =
        expect_value(import_built(gelu(true, Grouping::XTimesUFirst, write_cube)));
    CHECK(expect_value(evaluate(model.graph, imported_values(model, x))) ==
          std::vector<std::vector<float>>{expected});
  }
}

} // namespace
} // namespace orvik_compiler::testing
