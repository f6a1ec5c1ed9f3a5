// Conv whose stride equals its kernel, checked against the convolution written as plain loops,
// and every other form of Conv refused, naming what is not supported.

#include "evaluation_support.hpp"

#include <cmath>
#include <functional>
#include <numeric>

namespace orvik_compiler::testing {
namespace {

/// Values with many significant bits, so that summing in another order changes the result.
std::vector<float> wave(const Shape& shape, float phase) {
  std::vector<float> values(count_of(shape));
  for (std::size_t i = 0; i < values.size(); ++i) {
    values[i] = std::sin(static_cast<float>(i) * 0.37F + phase) * 1.7F;
  }
  return values;
}

/// The convolution as ONNX defines it, for strides equal to the kernel and no padding: each
/// output is the bias plus the sum over c, i, j, in that order, of input times weight.
std::vector<float> reference_conv(const Shape& x_shape, const std::vector<float>& x,
                                  const Shape& w_shape, const std::vector<float>& w,
                                  const std::vector<float>& bias) {
  const std::int64_t n = x_shape[0], c = x_shape[1], h = x_shape[2], width = x_shape[3];
  const std::int64_t m = w_shape[0], kh = w_shape[2], kw = w_shape[3];
  const std::int64_t rows = h / kh, columns = width / kw;
  std::vector<float> y;
  for (std::int64_t image = 0; image < n; ++image) {
    for (std::int64_t feature = 0; feature < m; ++feature) {
      for (std::int64_t row = 0; row < rows; ++row) {
        for (std::int64_t column = 0; column < columns; ++column) {
          float sum = 0.0F;
          for (std::int64_t channel = 0; channel < c; ++channel) {
            for (std::int64_t i = 0; i < kh; ++i) {
              for (std::int64_t j = 0; j < kw; ++j) {
                const std::int64_t at =
                    ((image * c + channel) * h + row * kh + i) * width + column * kw + j;
                const std::int64_t weight_at = ((feature * c + channel) * kh + i) * kw + j;
                sum += x[static_cast<std::size_t>(at)] * w[static_cast<std::size_t>(weight_at)];
              }
            }
          }
          y.push_back(bias.empty() ? sum : sum + bias[static_cast<std::size_t>(feature)]);
        }
      }
    }
  }
  return y;
}

std::vector<Extent> extents(const Shape& shape) {
  return {shape.begin(), shape.end()};
}

struct ConvCase {
  const char* what;
  Shape x;
  Shape w;
  bool bias;
  std::int64_t opset;
  /// Whether the node spells out its attributes as exporters do, with auto_pad "VALID".
  bool explicit_attributes;
};

TEST_CASE("Conv with strides equal to the kernel matches the convolution's sums", "[onnx]") {
  const std::vector<ConvCase> cases{
      {"patches of 2 by 2 with a bias", {1, 3, 4, 6}, {5, 3, 2, 2}, true, 17, true},
      {"a batch of two, a kernel of 2 by 3, no bias", {2, 2, 4, 6}, {3, 2, 2, 3}, false, 17, false},
      {"a 1 by 1 kernel is a product over the channels",
       {1, 4, 3, 2},
       {2, 4, 1, 1},
       true,
       11,
       false},
      {"one patch covering the whole input", {2, 3, 4, 4}, {6, 3, 4, 4}, true, 13, true},
  };
  for (const ConvCase& c : cases) {
    SECTION(c.what) {
      ModelBuilder model(c.opset);
      const std::vector<float> x = wave(c.x, 0.0F);
      const std::vector<float> w = wave(c.w, 1.0F);
      const std::vector<float> b = c.bias ? wave({c.w[0]}, 2.0F) : std::vector<float>{};
      model.input("x", extents(c.x)).initializer("w", c.w, w);
      if (c.bias) {
        model.initializer("b", {c.w[0]}, b);
      }
      onnx::NodeProto& conv = c.bias ? model.node("Conv", {"x", "w", "b"}, {"y"})
                                     : model.node("Conv", {"x", "w"}, {"y"});
      set_attribute(conv, "strides", Shape{c.w[2], c.w[3]});
      if (c.explicit_attributes) {
        set_attribute(conv, "kernel_shape", Shape{c.w[2], c.w[3]});
        set_attribute(conv, "pads", Shape{0, 0, 0, 0});
        set_attribute(conv, "dilations", Shape{1, 1});
        set_attribute(conv, "group", std::int64_t{1});
        onnx::AttributeProto& auto_pad = *conv.add_attribute();
        auto_pad.set_name("auto_pad");
        auto_pad.set_type(onnx::AttributeProto::STRING);
        auto_pad.set_s("VALID");
      }
      const OnnxModel imported = expect_value(import_built(model.output("y")));
      const std::vector<TensorData> outputs = evaluate_imported(imported, {{"x", x}});
      REQUIRE(imported.graph.outputs.size() == 1);
      CHECK(imported.graph.tensors[imported.graph.outputs[0].index].shape ==
            std::vector<std::uint64_t>{static_cast<std::uint64_t>(c.x[0]),
                                       static_cast<std::uint64_t>(c.w[0]),
                                       static_cast<std::uint64_t>(c.x[2] / c.w[2]),
                                       static_cast<std::uint64_t>(c.x[3] / c.w[3])});
      // The matrix product sums each patch in the same (c, i, j) order: equal to the bit.
      CHECK(outputs == std::vector<TensorData>{reference_conv(c.x, x, c.w, w, b)});
    }
  }
}

struct ConvRefusal {
  const char* what;
  Shape x;
  Shape w;
  std::function<void(onnx::NodeProto&)> attributes;
  std::string message;
};

TEST_CASE("forms of Conv other than non-overlapping patches are refused, naming why", "[onnx]") {
  const auto strides_2 = [](onnx::NodeProto& node) { set_attribute(node, "strides", Shape{2, 2}); };
  const std::string prefix = "model.onnx: node 0 \"conv\" (Conv): ";
  const std::vector<ConvRefusal> refusals{
      {"strides other than the kernel",
       {1, 3, 8, 8},
       {4, 3, 2, 2},
       [](onnx::NodeProto& node) {
         set_attribute(node, "strides", Shape{1, 1});
       },
       "strides [1, 1] are not supported; only strides equal to the kernel [2, 2] are"},
      {"absent strides, which are 1",
       {1, 3, 8, 8},
       {4, 3, 2, 2},
       [](onnx::NodeProto&) {},
       "strides [1, 1] are not supported; only strides equal to the kernel [2, 2] are"},
      {"padding",
       {1, 3, 8, 8},
       {4, 3, 2, 2},
       [&](onnx::NodeProto& node) {
         strides_2(node);
         set_attribute(node, "pads", Shape{1, 1, 1, 1});
       },
       "pads [1, 1, 1, 1] are not supported; only [0, 0, 0, 0] are"},
      {"dilation",
       {1, 3, 8, 8},
       {4, 3, 2, 2},
       [&](onnx::NodeProto& node) {
         strides_2(node);
         set_attribute(node, "dilations", Shape{2, 2});
       },
       "dilations [2, 2] are not supported; only [1, 1] are"},
      {"groups",
       {1, 4, 8, 8},
       {4, 2, 2, 2},
       [&](onnx::NodeProto& node) {
         strides_2(node);
         set_attribute(node, "group", std::int64_t{2});
       },
       "group 2 is not supported; only 1 is"},
      {"a kernel_shape other than the weight's",
       {1, 3, 8, 8},
       {4, 3, 2, 2},
       [&](onnx::NodeProto& node) {
         strides_2(node);
         set_attribute(node, "kernel_shape", Shape{4, 4});
       },
       "kernel_shape [4, 4] differs from W's [2, 2]"},
      {"an input not divided by the kernel",
       {1, 3, 8, 9},
       {4, 3, 2, 2},
       strides_2,
       "X \"x\" [1, 3, 8, 9]: H and W are not multiples of the kernel [2, 2]"},
      {"a 1-D convolution",
       {1, 3, 8},
       {4, 3, 2},
       [](onnx::NodeProto& node) { set_attribute(node, "strides", Shape{2}); },
       "X \"x\" [1, 3, 8] has rank 3; only 2-D convolutions of an [N, C, H, W] input are "
       "supported"},
      {"a 3-D convolution",
       {1, 3, 4, 4, 4},
       {4, 3, 2, 2, 2},
       [](onnx::NodeProto& node) {
         set_attribute(node, "strides", Shape{2, 2, 2});
       },
       "X \"x\" [1, 3, 4, 4, 4] has rank 5; only 2-D convolutions of an [N, C, H, W] input are "
       "supported"},
      {"a weight of other channels than the input",
       {1, 3, 8, 8},
       {4, 2, 2, 2},
       strides_2,
       "W \"w\" [4, 2, 2, 2] is not [M, C, kh, kw] with C = 3, the channels of X [1, 3, 8, 8]"},
  };
  for (const ConvRefusal& refusal : refusals) {
    SECTION(refusal.what) {
      ModelBuilder model;
      model.input("x", extents(refusal.x))
          .initializer("w", refusal.w, std::vector<float>(count_of(refusal.w), 0.5F));
      refusal.attributes(model.node("Conv", {"x", "w"}, {"y"}, "conv"));
      CHECK(import_error(model.output("y", onnx::TensorProto::FLOAT, std::vector<Extent>{1})) ==
            prefix + refusal.message);
    }
  }
}

TEST_CASE("Conv refuses a weight computed by the graph and a bias of the wrong shape", "[onnx]") {
  const std::string prefix = "model.onnx: node 0 \"conv\" (Conv): ";
  SECTION("a weight that is a graph input") {
    ModelBuilder model;
    model.input("x", {1, 3, 4, 4}).input("w", {2, 3, 2, 2});
    set_attribute(model.node("Conv", {"x", "w"}, {"y"}, "conv"), "strides", Shape{2, 2});
    CHECK(import_error(model.output("y", onnx::TensorProto::FLOAT, std::vector<Extent>{1})) ==
          prefix + "W \"w\" is not a constant; only constant weights are supported");
  }
  SECTION("a bias of another length than the features") {
    ModelBuilder model;
    model.input("x", {1, 3, 4, 4})
        .initializer("w", {2, 3, 2, 2}, std::vector<float>(24, 1.0F))
        .initializer("b", {3}, {1.0F, 2.0F, 3.0F});
    set_attribute(model.node("Conv", {"x", "w", "b"}, {"y"}, "conv"), "strides", Shape{2, 2});
    CHECK(import_error(model.output("y", onnx::TensorProto::FLOAT, std::vector<Extent>{1})) ==
          prefix + "B \"b\" [3] is not [M] = [2]");
  }
  SECTION("an auto_pad ONNX does not define") {
    ModelBuilder model;
    model.input("x", {1, 3, 4, 4}).initializer("w", {2, 3, 2, 2}, std::vector<float>(24, 1.0F));
    onnx::NodeProto& conv = model.node("Conv", {"x", "w"}, {"y"}, "conv");
    set_attribute(conv, "strides", Shape{2, 2});
    onnx::AttributeProto& auto_pad = *conv.add_attribute();
    auto_pad.set_name("auto_pad");
    auto_pad.set_type(onnx::AttributeProto::STRING);
    auto_pad.set_s("MIRROR");
    CHECK(import_error(model.output("y", onnx::TensorProto::FLOAT, std::vector<Extent>{1})) ==
          prefix + "auto_pad \"MIRROR\" is not supported");
  }
}

} // namespace
} // namespace orvik_compiler::testing
