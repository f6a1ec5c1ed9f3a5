// Reductions and normalisations: the operations they import to, the values those compute
// against ONNX's definitions, and the forms refused.

#include "onnx/evaluation_support.hpp"

#include <cmath>
#include <functional>

namespace orvik_compiler::testing {
namespace {

using Lines = std::vector<std::string>;

/// Checks `actual` against `expected` element by element within a relative 1e-6.
void check_close(const TensorData& actual, const std::vector<double>& expected) {
  const std::vector<float>& values = std::get<std::vector<float>>(actual);
  REQUIRE(values.size() == expected.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    CAPTURE(i, values[i], expected[i]);
    CHECK(std::abs(static_cast<double>(values[i]) - expected[i]) <=
          1e-6 * std::max(1.0, std::abs(expected[i])));
  }
}

/// A reduction `op_type` of x [2, 3, 2] to y in a model of `opset`, its axes an attribute when
/// given, and keepdims when given.
ModelBuilder reduction(std::int64_t opset, const char* op_type,
                       const std::optional<std::vector<std::int64_t>>& axes,
                       std::optional<std::int64_t> keep_dims) {
  ModelBuilder model(opset);
  model.input("x", {2, 3, 2});
  onnx::NodeProto& node = model.node(op_type, {"x"}, {"y"});
  if (axes) {
    set_attribute(node, "axes", *axes);
  }
  if (keep_dims) {
    set_attribute(node, "keepdims", *keep_dims);
  }
  return model.output("y");
}

/// ReduceSum of opset 13 of x [2, 3, 2], with the axes input when given and the attributes.
ModelBuilder reduce_sum_13(const std::optional<std::vector<std::int64_t>>& axes,
                           std::int64_t keep_dims, std::int64_t noop_with_empty_axes) {
  ModelBuilder model(13);
  model.input("x", {2, 3, 2});
  onnx::NodeProto* node = nullptr;
  if (axes) {
    model.integers("axes", {static_cast<std::int64_t>(axes->size())}, *axes);
    node = &model.node("ReduceSum", {"x", "axes"}, {"y"});
  } else {
    node = &model.node("ReduceSum", {"x"}, {"y"});
  }
  set_attribute(*node, "keepdims", keep_dims);
  set_attribute(*node, "noop_with_empty_axes", noop_with_empty_axes);
  return model.output("y");
}

struct ReductionCase {
  const char* what;
  std::function<ModelBuilder()> model;
  Lines expected;
  std::vector<double> values;
  /// x [2, 3, 2]; 1 ... 12 when empty.
  std::vector<float> x;
};

TEST_CASE("reductions are one operation per axis with their definition's steps around them",
          "[onnx]") {
  const std::vector<ReductionCase> cases{
      {"ReduceMean over a negative and a leading axis, kept",
       [] {
         return reduction(13, "ReduceMean", std::vector<std::int64_t>{-1, 0}, std::nullopt);
       },
       {"y/axis0 = ReduceMean { axis: 0 }(x)", "y = ReduceMean { axis: 2 }(y/axis0)",
        "-> y [1, 3, 1]"},
       {4.5, 6.5, 8.5},
       {}},
      {"ReduceMax without keepdims removes its axis",
       [] { return reduction(11, "ReduceMax", std::vector<std::int64_t>{1}, 0); },
       {"y/axis1 = ReduceMax { axis: 1 }(x)", "y = Reshape { shape: [2, 2] }(y/axis1)",
        "-> y [2, 2]"},
       {5, 6, 11, 12},
       {}},
      {"ReduceSum before opset 13 without axes reduces every axis",
       [] { return reduction(11, "ReduceSum", std::nullopt, std::nullopt); },
       {"y/axis0 = ReduceSum { axis: 0 }(x)", "y/axis1 = ReduceSum { axis: 1 }(y/axis0)",
        "y = ReduceSum { axis: 2 }(y/axis1)", "-> y [1, 1, 1]"},
       {78},
       {}},
      {"ReduceSum from opset 13 reads its axes input",
       [] { return reduce_sum_13(std::vector<std::int64_t>{1}, 0, 0); },
       {"y/axis1 = ReduceSum { axis: 1 }(x)", "y = Reshape { shape: [2, 2] }(y/axis1)",
        "-> y [2, 2]"},
       {9, 12, 27, 30},
       {}},
      {"ReduceSum with empty axes and noop_with_empty_axes is the input itself",
       [] { return reduce_sum_13(std::vector<std::int64_t>{}, 1, 1); },
       {"y = Reshape { shape: [2, 3, 2] }(x)", "-> y [2, 3, 2]"},
       {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12},
       {}},
      {"ReduceMin is the negated maximum of the negated input",
       [] { return reduction(13, "ReduceMin", std::vector<std::int64_t>{1}, 0); },
       {"y/negated = Neg(x)", "y/axis1 = ReduceMax { axis: 1 }(y/negated)",
        "y/minimum = Neg(y/axis1)", "y = Reshape { shape: [2, 2] }(y/minimum)", "-> y [2, 2]"},
       {-5, 2, -11, -12},
       {3, 2, -5, 4, 1, 6, 7, -12, -11, 10, 9, 8}},
      {"ReduceLogSumExp shifts by the maximum, so that large values do not overflow",
       [] { return reduction(13, "ReduceLogSumExp", std::vector<std::int64_t>{2}, 1); },
       {"y/axis2 = ReduceMax { axis: 2 }(x)",
        "y/axis2/broadcast = Broadcast { shape: [2, 3, 2] }(y/axis2)",
        "y/shifted = Sub(x, y/axis2/broadcast)", "y/exp = Exp(y/shifted)",
        "y/axis2_2 = ReduceSum { axis: 2 }(y/exp)", "y/log = Log(y/axis2_2)",
        "y = Add(y/log, y/axis2)", "-> y [2, 3, 1]"},
       {1000 + std::log1p(std::exp(-1.0)), -1000 + std::log(2.0), 89 + std::log1p(std::exp(-1.0)),
        std::log(std::exp(1.0) + std::exp(2.0)), -3 + std::log1p(std::exp(-4.0)), std::log(2.0)},
       {1000, 999, -1000, -1000, 88, 89, 1, 2, -3, -7, 0, 0}},
      {"ReduceProd multiplies the slices of each axis first to last",
       [] {
         return reduction(13, "ReduceProd", std::vector<std::int64_t>{0, 2}, 0);
       },
       {"y/slice = Slice { axis: 0, start: 0, stop: 1, step: 1 }(x)",
        "y/slice_2 = Slice { axis: 0, start: 1, stop: 2, step: 1 }(x)",
        "y/product = Mul(y/slice, y/slice_2)",
        "y/slice_3 = Slice { axis: 2, start: 0, stop: 1, step: 1 }(y/product)",
        "y/slice_4 = Slice { axis: 2, start: 1, stop: 2, step: 1 }(y/product)",
        "y/product_2 = Mul(y/slice_3, y/slice_4)", "y = Reshape { shape: [3] }(y/product_2)",
        "-> y [3]"},
       {1.0 * 2 * 7 * 8, 3.0 * 4 * 9 * 10, 5.0 * 6 * 11 * 12},
       {}},
  };
  const std::vector<float> counting{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  for (const ReductionCase& reduction_case : cases) {
    SECTION(reduction_case.what) {
      const OnnxModel model = expect_value(import_built(reduction_case.model()));
      CHECK(describe(model.graph) == reduction_case.expected);
      const std::vector<float>& x = reduction_case.x.empty() ? counting : reduction_case.x;
      check_close(evaluate_imported(model, {{"x", x}}).at(0), reduction_case.values);
    }
  }
}

/// BatchNormalization at `opset` of x [2, 3] with constant scale, B, mean and var, and the
/// attribute `name` set to `value` when given.
ModelBuilder batch_normalization(std::int64_t opset, const std::string& name = "",
                                 std::int64_t value = 0) {
  ModelBuilder model(opset);
  model.input("x", {2, 3});
  model.initializer("scale", {3}, {1, 2, -1}).initializer("b", {3}, {0, 1, 0.5F});
  model.initializer("mean", {3}, {1, 0, -2}).initializer("var", {3}, {4, 0.25F, 1});
  onnx::NodeProto& node =
      model.node("BatchNormalization", {"x", "scale", "b", "mean", "var"}, {"y"}, "bn");
  set_attribute(node, "epsilon", 0.0F);
  if (!name.empty()) {
    set_attribute(node, name, value);
  }
  return model.output("y", onnx::TensorProto::FLOAT, {{2, 3}});
}

TEST_CASE("batch normalisation with constant statistics normalises each channel", "[onnx]") {
  // The suite's cases feed the statistics as inputs; constants take another path.
  const OnnxModel model = expect_value(import_built(batch_normalization(15)));
  // (x - mean) / sqrt(var) * scale + b per channel (column).
  check_close(evaluate_imported(model, {{"x", std::vector<float>{3, 1, 0, -1, 0.5F, -3}}}).at(0),
              {1, 5, -1.5, -1, 3, 1.5});
}

struct Refusal {
  const char* what;
  std::function<ModelBuilder()> model;
  std::string message;
};

TEST_CASE("reduction and normalisation forms that are not supported are refused", "[onnx]") {
  const std::vector<Refusal> refusals{
      {"a reduction axis given twice",
       [] {
         return reduction(13, "ReduceMean", std::vector<std::int64_t>{1, -2}, std::nullopt);
       },
       "model.onnx: node 0 \"\" (ReduceMean): axis -2 is given twice"},
      {"a reduction to a scalar", [] { return reduction(11, "ReduceSum", std::nullopt, 0); },
       "model.onnx: node 0 \"\" (ReduceSum): the result is a scalar; the graph has no rank-0 "
       "tensors"},
      {"reduction axes computed at run time",
       [] {
         ModelBuilder model(13);
         model.input("x", {2, 3}).input("axes", {1}, onnx::TensorProto::INT64);
         model.node("ReduceSum", {"x", "axes"}, {"y"});
         return model.output("y", onnx::TensorProto::FLOAT, {{2, 1}});
       },
       "model.onnx: node 0 \"\" (ReduceSum): axes input \"axes\" is not a constant; only "
       "constant axes is supported"},
      {"a product along an axis longer than the limit",
       [] {
         ModelBuilder model(13);
         model.input("x", {2, 257});
         set_attribute(model.node("ReduceProd", {"x"}, {"y"}), "axes",
                       std::vector<std::int64_t>{1});
         return model.output("y");
       },
       "model.onnx: node 0 \"\" (ReduceProd): axis 1 has extent 257; a product of at most 256 "
       "slices per axis is supported"},
      {"batch normalisation in training mode",
       [] { return batch_normalization(15, "training_mode", 1); },
       "model.onnx: node 0 \"bn\" (BatchNormalization): training_mode 1 is not supported; only 0 "
       "(inference) is"},
      {"batch normalisation at opset 6 without is_test, which means training",
       [] { return batch_normalization(6); },
       "model.onnx: node 0 \"bn\" (BatchNormalization): is_test 0 is not supported; only 1 "
       "(inference) is"},
      {"batch normalisation with statistics per activation",
       [] { return batch_normalization(7, "spatial", 0); },
       "model.onnx: node 0 \"bn\" (BatchNormalization): spatial 0 is not supported; only 1 "
       "(statistics per channel) is"},
      {"batch normalisation whose running mean is read",
       [] {
         ModelBuilder model(15);
         model.input("x", {2, 3});
         for (const char* name : {"scale", "b", "mean", "var"}) {
           model.initializer(name, {3}, {1, 1, 1});
         }
         model.node("BatchNormalization", {"x", "scale", "b", "mean", "var"},
                    {"y", "running_mean", "running_var"});
         return model.output("y", onnx::TensorProto::FLOAT, {{2, 3}})
             .output("running_mean", onnx::TensorProto::FLOAT, {{3}});
       },
       "model.onnx: node 0 \"\" (BatchNormalization): its output 1 \"running_mean\" is used; only "
       "the normalised output is supported"},
      {"instance normalisation of a scale that is not one per channel",
       [] {
         ModelBuilder model(13);
         model.input("x", {1, 2, 4}).initializer("s", {4}, {1, 1, 1, 1});
         model.initializer("b", {2}, {0, 0});
         model.node("InstanceNormalization", {"x", "s", "b"}, {"y"});
         return model.output("y", onnx::TensorProto::FLOAT, {{1, 2, 4}});
       },
       "model.onnx: node 0 \"\" (InstanceNormalization): scale \"s\" has shape [4], not [2] (the "
       "input's channels)"},
      {"instance normalisation without spatial axes",
       [] {
         ModelBuilder model(13);
         model.input("x", {2, 3}).initializer("s", {3}, {1, 1, 1});
         model.initializer("b", {3}, {0, 0, 0});
         model.node("InstanceNormalization", {"x", "s", "b"}, {"y"});
         return model.output("y", onnx::TensorProto::FLOAT, {{2, 3}});
       },
       "model.onnx: node 0 \"\" (InstanceNormalization): input \"x\" has rank 2; [N, C, D, ...] of "
       "rank 3 or more is needed"},
  };
  for (const Refusal& refusal : refusals) {
    SECTION(refusal.what) {
      CHECK(import_error(refusal.model()) == refusal.message);
    }
  }
}

} // namespace
} // namespace orvik_compiler::testing
