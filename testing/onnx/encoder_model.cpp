// The encoder layer as an ONNX model.

#include "testing/onnx/encoder_model.hpp"

#include <string>

namespace orvik_compiler::testing {
namespace {

/// Appends a layer normalisation of `input` over the last axis with scale 1 and bias 0.
void add_layer_norm(ModelBuilder& model, NormForm form, const std::string& input,
                    const std::string& output) {
  const std::string scale = "norm/scale";
  const std::string bias = "norm/bias";
  if (form == NormForm::Operator) {
    set_attribute(model.node("LayerNormalization", {input, scale, bias}, {output}, output),
                  "epsilon", encoder_layer_norm_epsilon);
    return;
  }
  const std::string part = output + "/";
  set_attribute(model.node("ReduceMean", {input}, {part + "mean"}), "axes",
                std::vector<std::int64_t>{-1});
  model.node("Sub", {input, part + "mean"}, {part + "deviation"});
  model.node("Pow", {part + "deviation", "two"}, {part + "square"});
  set_attribute(model.node("ReduceMean", {part + "square"}, {part + "variance"}), "axes",
                std::vector<std::int64_t>{-1});
  model.node("Add", {part + "variance", "norm/epsilon"}, {part + "shifted"});
  model.node("Sqrt", {part + "shifted"}, {part + "deviation_scale"});
  model.node("Div", {part + "deviation", part + "deviation_scale"}, {part + "normalized"});
  model.node("Mul", {part + "normalized", scale}, {part + "scaled"});
  model.node("Add", {part + "scaled", bias}, {output});
}

/// Appends 0.5 x (1 + tanh(sqrt(2/pi) (x + 0.044715 x^3))) as the nodes exporters write.
void add_gelu(ModelBuilder& model, const std::string& input, const std::string& output) {
  const std::string part = output + "/";
  model.node("Pow", {input, "three"}, {part + "cube"});
  model.node("Mul", {part + "cube", "gelu/cubic"}, {part + "cubic"});
  model.node("Add", {input, part + "cubic"}, {part + "inner"});
  model.node("Mul", {part + "inner", "gelu/sqrt_2_over_pi"}, {part + "scaled"});
  model.node("Tanh", {part + "scaled"}, {part + "tanh"});
  model.node("Add", {part + "tanh", "one"}, {part + "one_plus"});
  model.node("Mul", {input, "half"}, {part + "half_x"});
  model.node("Mul", {part + "half_x", part + "one_plus"}, {output});
}

} // namespace

ModelBuilder encoder_model(const EncoderConfig& config, std::uint64_t layers, NormForm norms) {
  const auto h = static_cast<std::int64_t>(config.hidden);
  const auto f = static_cast<std::int64_t>(config.feed_forward);
  const std::size_t width = config.hidden;
  ModelBuilder model(17);
  model.input("input", {static_cast<std::int64_t>(config.sequence), h});
  model.initializer("norm/scale", {h}, std::vector<float>(width, 1.0F));
  model.initializer("norm/bias", {h}, std::vector<float>(width, 0.0F));
  model.initializer("norm/epsilon", {}, {encoder_layer_norm_epsilon});
  model.initializer("two", {}, {2.0F});
  model.initializer("three", {}, {3.0F});
  model.initializer("one", {}, {1.0F});
  model.initializer("half", {}, {0.5F});
  model.initializer("gelu/cubic", {}, {0.044715F});
  model.initializer("gelu/sqrt_2_over_pi", {}, {0.7978845608F});
  const EncoderWeights weights = EncoderWeights::deterministic(config);
  std::string input = "input";
  for (std::uint64_t layer = 0; layer < layers; ++layer) {
    const std::string prefix = "layer" + std::to_string(layer) + "/";
    const auto name = [&](const char* part) { return prefix + part; };
    model.initializer(name("wq"), {h, h}, weights.wq);
    model.initializer(name("wk"), {h, h}, weights.wk);
    model.initializer(name("wv"), {h, h}, weights.wv);
    model.initializer(name("wo"), {h, h}, weights.wo);
    model.initializer(name("w1"), {h, f}, weights.w1);
    model.initializer(name("w2"), {f, h}, weights.w2);
    add_layer_norm(model, norms, input, name("norm1"));
    model.node("MatMul", {name("norm1"), name("wq")}, {name("q")});
    model.node("MatMul", {name("norm1"), name("wk")}, {name("k")});
    model.node("MatMul", {name("norm1"), name("wv")}, {name("v")});
    set_attribute(model.node("Transpose", {name("k")}, {name("k_transpose")}), "perm",
                  std::vector<std::int64_t>{1, 0});
    model.node("MatMul", {name("q"), name("k_transpose")}, {name("attention_scores")});
    set_attribute(model.node("Softmax", {name("attention_scores")}, {name("attention_softmax")}),
                  "axis", std::int64_t{1});
    model.node("MatMul", {name("attention_softmax"), name("v")}, {name("attention_context")});
    model.node("MatMul", {name("attention_context"), name("wo")}, {name("attention_projection")});
    model.node("Add", {input, name("attention_projection")}, {name("attention_residual")});
    add_layer_norm(model, norms, name("attention_residual"), name("norm2"));
    model.node("MatMul", {name("norm2"), name("w1")}, {name("ffn_up")});
    add_gelu(model, name("ffn_up"), name("ffn_gelu"));
    model.node("MatMul", {name("ffn_gelu"), name("w2")}, {name("ffn_down")});
    const std::string output = layer + 1 == layers ? "output" : name("ffn_residual");
    model.node("Add", {name("attention_residual"), name("ffn_down")}, {output});
    input = output;
  }
  model.output("output");
  return model;
}

} // namespace orvik_compiler::testing
