// MaxPool and AveragePool, checked against each window computed directly from its taps, and the
// forms the pooling converters refuse, naming why.

#include "evaluation_support.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace orvik_compiler::testing {
namespace {

/// Values with many significant bits and both signs, all negative when `negative`.
std::vector<float> wave(const Shape& shape, bool negative = false) {
  std::vector<float> values(count_of(shape));
  for (std::size_t i = 0; i < values.size(); ++i) {
    const float value = std::sin(static_cast<float>(i) * 0.61F) * 3.1F;
    values[i] = negative ? -1.0F - value * value : value;
  }
  return values;
}

/// A pooling node's attributes; empty ones are left out.
struct PoolAttributes {
  Shape kernel, strides = {}, dilations = {}, pads = {};
  std::string auto_pad = {};
  std::int64_t ceil_mode = 0, count_include_pad = 0;
};

void set_attributes(onnx::NodeProto& node, const PoolAttributes& a) {
  for (const auto& [name, values] : {std::pair{"kernel_shape", a.kernel},
                                     {"strides", a.strides},
                                     {"dilations", a.dilations},
                                     {"pads", a.pads}}) {
    if (!values.empty()) {
      set_attribute(node, name, values);
    }
  }
  if (!a.auto_pad.empty()) {
    set_attribute(node, "auto_pad", a.auto_pad);
  }
  for (const auto& [name, value] :
       {std::pair{"ceil_mode", a.ceil_mode}, {"count_include_pad", a.count_include_pad}}) {
    if (value != 0) {
      set_attribute(node, name, value);
    }
  }
}

/// The pads the windows have at the start and at the end of each spatial axis, and the output's
/// spatial extents, written by hand.
struct Windows {
  Shape begin, end, outputs;
};

/// The pooling as ONNX defines it, window by window: the maximum of the taps inside the input,
/// or their sum divided by their count (with `count_include_pad`, by the count of the taps
/// inside the input and its pads).
std::vector<float> reference_pool(const Shape& x_shape, const std::vector<float>& x, bool max,
                                  const PoolAttributes& a, const Windows& windows) {
  const std::size_t spatial = x_shape.size() - 2;
  Shape y_shape{x_shape[0], x_shape[1]};
  y_shape.insert(y_shape.end(), windows.outputs.begin(), windows.outputs.end());
  std::vector<float> y;
  for (std::size_t flat = 0; flat < count_of(y_shape); ++flat) {
    const Shape out = position_of(flat, y_shape);
    float best = -std::numeric_limits<float>::infinity(), sum = 0.0F;
    std::int64_t inside = 0, padded = 0;
    for (std::size_t tap_flat = 0; tap_flat < count_of(a.kernel); ++tap_flat) {
      const Shape tap = position_of(tap_flat, a.kernel);
      bool in_input = true, in_pads = true;
      auto at = static_cast<std::size_t>(out[0] * x_shape[1] + out[1]);
      for (std::size_t i = 0; i < spatial; ++i) {
        const std::int64_t p = out[i + 2] * (a.strides.empty() ? 1 : a.strides[i]) -
                               windows.begin[i] +
                               tap[i] * (a.dilations.empty() ? 1 : a.dilations[i]);
        in_input = in_input && p >= 0 && p < x_shape[i + 2];
        in_pads = in_pads && p >= -windows.begin[i] && p < x_shape[i + 2] + windows.end[i];
        at = at * static_cast<std::size_t>(x_shape[i + 2]) +
             static_cast<std::size_t>(in_input ? p : 0);
      }
      padded += in_pads ? 1 : 0;
      if (in_input) {
        ++inside;
        best = std::max(best, x[at]);
        sum += x[at];
      }
    }
    y.push_back(max ? best : sum / static_cast<float>(a.count_include_pad ? padded : inside));
  }
  return y;
}

struct PoolCase {
  const char* what;
  bool max;
  Shape x;
  PoolAttributes attributes;
  Windows windows;
};

TEST_CASE("MaxPool and AveragePool equal each window computed from its taps", "[onnx]") {
  const std::vector<PoolCase> cases{
      {"MaxPool 2-D, strides and pads that differ per axis and side",
       true,
       {1, 2, 5, 6},
       {{3, 2}, {2, 3}, {}, {1, 0, 2, 1}},
       {{1, 0}, {2, 1}, {3, 2}}},
      {"MaxPool 1-D, dilated, whose ceil_mode window starts in the input and ends beyond it",
       true,
       {1, 2, 8},
       {{2}, {2}, {2}, {}, "", 1},
       {{0}, {0}, {4}}},
      {"pads beyond the kernel's extent, each dilated window still reaching the input",
       true,
       {1, 1, 5},
       {{2}, {}, {3}, {2, 2}},
       {{2}, {2}, {6}}},
      {"MaxPool SAME_UPPER with an odd total pad puts the extra element at the end",
       true,
       {1, 1, 5, 5},
       {{4, 4}, {}, {}, {}, "SAME_UPPER"},
       {{1, 1}, {2, 2}, {5, 5}}},
      {"MaxPool VALID with zero pads written out, as exporters write them",
       true,
       {2, 1, 5, 5},
       {{2, 2}, {2, 2}, {}, {0, 0, 0, 0}, "VALID"},
       {{0, 0}, {0, 0}, {2, 2}}},
      {"AveragePool 3-D, SAME_LOWER with strides: pads excluded from the counts",
       false,
       {1, 2, 5, 4, 3},
       {{2, 3, 2}, {2, 2, 2}, {}, {}, "SAME_LOWER"},
       {{1, 1, 1}, {0, 0, 0}, {3, 2, 2}}},
      {"count_include_pad counts the explicit pads but not the ceil_mode overhang",
       false,
       {1, 1, 6, 6},
       {{3, 3}, {2, 2}, {}, {1, 1, 1, 1}, "", 1, 1},
       {{1, 1}, {1, 1}, {4, 4}}},
  };
  for (const PoolCase& c : cases) {
    SECTION(c.what) {
      ModelBuilder model;
      model.input("x", {c.x.begin(), c.x.end()});
      set_attributes(model.node(c.max ? "MaxPool" : "AveragePool", {"x"}, {"y"}), c.attributes);
      const OnnxModel imported = expect_value(import_built(model.output("y")));
      std::vector<std::uint64_t> y_shape{c.x.begin(), c.x.begin() + 2};
      y_shape.insert(y_shape.end(), c.windows.outputs.begin(), c.windows.outputs.end());
      CHECK(imported.graph.tensors[imported.graph.outputs[0].index].shape == y_shape);
      // Negative values show whether the padding of a maximum is -inf.
      const std::vector<float> x = wave(c.x, c.max);
      const std::vector<float> y =
          std::get<std::vector<float>>(evaluate_imported(imported, {{"x", x}}).at(0));
      const std::vector<float> expected = reference_pool(c.x, x, c.max, c.attributes, c.windows);
      if (c.max) {
        CHECK(y == expected);
      } else {
        // Sums run axis by axis, so they may round otherwise than in the window's own order.
        REQUIRE(y.size() == expected.size());
        for (std::size_t i = 0; i < y.size(); ++i) {
          CHECK(y[i] == Approx(expected[i]));
        }
      }
    }
  }
}

struct PoolRefusal {
  const char* what;
  const char* op;
  Shape x;
  PoolAttributes attributes;
  std::string message;
};

TEST_CASE("pooling forms that cannot be built are refused, naming why", "[onnx]") {
  const std::vector<PoolRefusal> refusals{
      {"a stride of 0",
       "MaxPool",
       {1, 1, 4, 4},
       {{2, 2}, {0, 1}},
       "strides [0, 1] hold 0; entries must lie in [1, 2147483647]"},
      {"an auto_pad ONNX does not define",
       "MaxPool",
       {1, 1, 4, 4},
       {{2, 2}, {}, {}, {}, "SAME"},
       "auto_pad \"SAME\" is not supported"},
      {"pads given beside an automatic padding",
       "MaxPool",
       {1, 1, 4, 4},
       {{2, 2}, {}, {}, {1, 1, 1, 1}, "VALID"},
       "pads are given with auto_pad \"VALID\""},
      {"a window longer than its padded axis",
       "AveragePool",
       {1, 1, 3, 3},
       {{5, 1}, {}, {}, {0, 0, 1, 0}},
       "the window of 5 along axis 2 is longer than the padded extent 4"},
      {"pads of a whole window: the first output would pool only padding",
       "MaxPool",
       {1, 1, 4, 4},
       {{2, 2}, {}, {}, {0, 2, 0, 0}},
       "the window of output 0 along axis 3 holds only padding"},
      {"a ceil_mode window that would start in the end padding",
       "MaxPool",
       {1, 1, 6},
       {{2}, {3}, {}, {0, 1}, "", 1},
       "the window of output 2 along axis 2 holds only padding"},
      {"a kernel needing more slices than the bound",
       "MaxPool",
       {1, 1, 700, 700},
       {{600, 500}},
       "kernel_shape [600, 500] needs 1100 slices; at most 1024 are supported"},
      {"an input without spatial axes",
       "AveragePool",
       {4, 4},
       {{2}},
       "X \"x\" [4, 4] has rank 2; pooling needs [N, C, D1, ...]"},
  };
  for (const PoolRefusal& refusal : refusals) {
    SECTION(refusal.what) {
      ModelBuilder model;
      model.input("x", {refusal.x.begin(), refusal.x.end()});
      set_attributes(model.node(refusal.op, {"x"}, {"y"}, "pool"), refusal.attributes);
      CHECK(import_error(model.output("y", onnx::TensorProto::FLOAT, std::vector<Extent>{1})) ==
            "model.onnx: node 0 \"pool\" (" + std::string(refusal.op) + "): " + refusal.message);
    }
  }
}

TEST_CASE("MaxPool refuses its Indices output only where it is read", "[onnx]") {
  ModelBuilder model;
  model.input("x", {1, 1, 4, 4});
  set_attributes(model.node("MaxPool", {"x"}, {"y", "indices"}, "pool"), {{2, 2}});
  SECTION("read as a model output") {
    model.output("y").output("indices", onnx::TensorProto::INT64, std::vector<Extent>{1});
    CHECK(import_error(model) == "model.onnx: node 0 \"pool\" (MaxPool): its Indices output "
                                 "\"indices\" is used; only the pooled output is supported");
  }
  SECTION("left unread") {
    const OnnxModel imported = expect_value(import_built(model.output("y")));
    CHECK(imported.graph.outputs.size() == 1);
  }
}

} // namespace
} // namespace orvik_compiler::testing
