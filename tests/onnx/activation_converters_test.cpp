// Activations composed of exact operations: the forms each opset gives them, the values of the
// forms ONNX's own test cases do not reach, and the forms refused.

#include "onnx/evaluation_support.hpp"

#include <cmath>
#include <functional>

namespace orvik_compiler::testing {
namespace {

using Lines = std::vector<std::string>;

struct ActivationCase {
  const char* what;
  std::function<ModelBuilder()> model;
  /// The graph, unless empty.
  Lines expected;
  std::vector<float> x;
  std::vector<double> values;
};

/// PRelu at `opset` of x [2, 2, 2] with the constant slope [0.5, 3].
ModelBuilder prelu(std::int64_t opset) {
  ModelBuilder model(opset);
  model.input("x", {2, 2, 2}).initializer("slope", {2}, {0.5F, 3.0F});
  model.node("PRelu", {"x", "slope"}, {"y"});
  return model.output("y");
}

/// Dropout at `opset` of x [2, 2] whose mask, cast to float32 where it is BOOL, is added to its
/// output: x + 1 when nothing is dropped.
ModelBuilder dropout_plus_mask(std::int64_t opset, bool bool_mask) {
  ModelBuilder model(opset);
  model.input("x", {2, 2});
  if (opset >= 12) {
    model.initializer("ratio", {}, {0.5F}).integers("zero", {}, {0}).integers("one", {}, {1});
    model.node("Equal", {"zero", "one"}, {"training"});
    model.node("Dropout", {"x", "ratio", "training"}, {"y", "mask"});
  } else {
    model.node("Dropout", {"x"}, {"y", "mask"});
  }
  std::string mask = "mask";
  if (bool_mask) {
    set_attribute(model.node("Cast", {"mask"}, {"mask_float"}), "to",
                  std::int64_t{onnx::TensorProto::FLOAT});
    mask = "mask_float";
  }
  model.node("Add", {"y", mask}, {"z"});
  return model.output("z", onnx::TensorProto::FLOAT, {{2, 2}});
}

TEST_CASE("activations compute their definitions in each opset's form", "[onnx]") {
  const double log_sum_exp = std::log(1 + std::exp(1.0) + std::exp(2.0) + std::exp(3.0));
  const std::vector<ActivationCase> cases{
      {"LogSoftmax before opset 13 works on rows from its default axis 1",
       [] {
         ModelBuilder model(11);
         model.input("x", {2, 2, 2});
         model.node("LogSoftmax", {"x"}, {"y"});
         return model.output("y");
       },
       {"y/rows = Reshape { shape: [2, 4] }(x)",
        "y/rows_log_softmax/max = ReduceMax { axis: 1 }(y/rows)",
        "y/rows_log_softmax/max/broadcast = Broadcast { shape: [2, 4] }(y/rows_log_softmax/max)",
        "y/rows_log_softmax/shifted = Sub(y/rows, y/rows_log_softmax/max/broadcast)",
        "y/rows_log_softmax/exp = Exp(y/rows_log_softmax/shifted)",
        "y/rows_log_softmax/sum = ReduceSum { axis: 1 }(y/rows_log_softmax/exp)",
        "y/rows_log_softmax/log = Log(y/rows_log_softmax/sum)",
        "y/rows_log_softmax/log/broadcast = Broadcast { shape: [2, 4] }(y/rows_log_softmax/log)",
        "y/rows_log_softmax = Sub(y/rows_log_softmax/shifted, "
        "y/rows_log_softmax/log/broadcast)",
        "y = Reshape { shape: [2, 2, 2] }(y/rows_log_softmax)", "-> y [2, 2, 2]"},
       {0, 1, 2, 3, 100, 100, 100, 100},
       {-log_sum_exp, 1 - log_sum_exp, 2 - log_sum_exp, 3 - log_sum_exp, -std::log(4.0),
        -std::log(4.0), -std::log(4.0), -std::log(4.0)}},
      {"PRelu at opset 6 takes a slope of [C] per channel",
       [] { return prelu(6); },
       {},
       {1, -1, -2, 2, -3, 3, 4, -4},
       {1, -0.5, -6, 2, -1.5, 3, 4, -12}},
      {"PRelu from opset 7 broadcasts the slope from the last axis",
       [] { return prelu(7); },
       {},
       {1, -1, -2, 2, -3, 3, 4, -4},
       {1, -3, -1, 2, -1.5, 3, 4, -12}},
      {"Clip at opset 6 with only a max attribute is one Minimum",
       [] {
         ModelBuilder model(6);
         model.input("x", {4});
         set_attribute(model.node("Clip", {"x"}, {"y"}), "max", 0.5F);
         return model.output("y");
       },
       {"y = Minimum(x, y/max/broadcast)", "-> y [4]"},
       {-2, 0.25F, 0.5F, 3},
       {-2, 0.25, 0.5, 0.5}},
      {"Dropout at opset 7 is the input, its FLOAT mask ones",
       [] { return dropout_plus_mask(7, false); },
       {"z = Add(x, mask)", "-> z [2, 2]"},
       {1, -2, 0.5F, 0},
       {2, -1, 1.5, 1}},
      {"Dropout from opset 12 with a constant false training_mode, its BOOL mask ones",
       [] { return dropout_plus_mask(13, true); },
       {"z = Add(x, mask_float)", "-> z [2, 2]"},
       {1, -2, 0.5F, 0},
       {2, -1, 1.5, 1}},
  };
  for (const ActivationCase& activation : cases) {
    SECTION(activation.what) {
      const OnnxModel model = expect_value(import_built(activation.model()));
      if (!activation.expected.empty()) {
        CHECK(describe(model.graph) == activation.expected);
      }
      const std::vector<float> y =
          std::get<std::vector<float>>(evaluate_imported(model, {{"x", activation.x}}).at(0));
      REQUIRE(y.size() == activation.values.size());
      for (std::size_t i = 0; i < y.size(); ++i) {
        CAPTURE(i);
        CHECK(y[i] == Approx(activation.values[i]).epsilon(1e-6));
      }
    }
  }
}

/// Shrink of x [3] with the given attributes.
ModelBuilder shrink(float lambd, float bias) {
  ModelBuilder model(13);
  model.input("x", {3});
  onnx::NodeProto& node = model.node("Shrink", {"x"}, {"y"}, "shrink");
  set_attribute(node, "lambd", lambd);
  set_attribute(node, "bias", bias);
  return model.output("y");
}

struct Refusal {
  const char* what;
  std::function<ModelBuilder()> model;
  std::string message;
};

TEST_CASE("activation forms that need a selection or training are refused", "[onnx]") {
  const std::vector<Refusal> refusals{
      {"hard shrinkage", [] { return shrink(1.5F, 0.0F); },
       "model.onnx: node 0 \"shrink\" (Shrink): bias 0 differs from lambd 1.5; only soft "
       "shrinkage (bias equal to lambd) is supported"},
      {"shrinkage by a negative lambd", [] { return shrink(-1.0F, -1.0F); },
       "model.onnx: node 0 \"shrink\" (Shrink): lambd -1 is negative; only soft shrinkage by a "
       "non-negative lambd is supported"},
      {"a slope that does not broadcast to the input",
       [] {
         ModelBuilder model(16);
         model.input("x", {3}).initializer("slope", {2, 3}, {1, 2, 3, 4, 5, 6});
         model.node("PRelu", {"x", "slope"}, {"y"});
         return model.output("y", onnx::TensorProto::FLOAT, {{3}});
       },
       "model.onnx: node 0 \"\" (PRelu): slope \"slope\" [2, 3] does not broadcast to the "
       "input's shape [3]"},
      {"Dropout in training",
       [] {
         ModelBuilder model(13);
         model.input("x", {2}).integers("one", {}, {1});
         model.node("Equal", {"one", "one"}, {"training"});
         model.node("Dropout", {"x", "", "training"}, {"y"}, "drop");
         return model.output("y");
       },
       "model.onnx: node 1 \"drop\" (Dropout): training_mode \"training\" is true; only inference "
       "(false) is supported"},
  };
  for (const Refusal& refusal : refusals) {
    SECTION(refusal.what) {
      CHECK(import_error(refusal.model()) == refusal.message);
    }
  }
}

} // namespace
} // namespace orvik_compiler::testing
