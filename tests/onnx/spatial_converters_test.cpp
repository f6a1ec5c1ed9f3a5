// Pad, Tile, DepthToSpace and SpaceToDepth, checked against each output element found from its
// position, and the forms the converters refuse, naming why.

#include "evaluation_support.hpp"

#include <algorithm>
#include <functional>
#include <numeric>

namespace orvik_compiler::testing {
namespace {

/// The element of `values` (of `shape`) at `position`.
float at(const std::vector<float>& values, const Shape& shape, const Shape& position) {
  std::size_t flat = 0;
  for (std::size_t axis = 0; axis < shape.size(); ++axis) {
    flat = flat * static_cast<std::size_t>(shape[axis]) + static_cast<std::size_t>(position[axis]);
  }
  return values[flat];
}

/// 0, 1, 2, ... as floats.
std::vector<float> counting(const Shape& shape) {
  std::vector<float> values(count_of(shape));
  std::iota(values.begin(), values.end(), 0.0F);
  return values;
}

/// Every element of a tensor of `shape`, each found from its position by `element`.
std::vector<float> generated(const Shape& shape,
                             const std::function<float(const Shape&)>& element) {
  std::vector<float> values;
  for (std::size_t flat = 0; flat < count_of(shape); ++flat) {
    values.push_back(element(position_of(flat, shape)));
  }
  return values;
}

/// Pad as ONNX defines it, element by element: an output position less the pads before is a
/// position of the input, or outside it, where the mode picks the value.
std::vector<float> reference_pad(const Shape& x_shape, const std::vector<float>& x,
                                 const Shape& pads, const std::string& mode, float value) {
  const std::size_t rank = x_shape.size();
  Shape y_shape;
  for (std::size_t axis = 0; axis < rank; ++axis) {
    y_shape.push_back(x_shape[axis] + pads[axis] + pads[axis + rank]);
  }
  return generated(y_shape, [&](const Shape& position) {
    Shape source(rank);
    for (std::size_t axis = 0; axis < rank; ++axis) {
      std::int64_t i = position[axis] - pads[axis];
      const std::int64_t last = x_shape[axis] - 1;
      if (mode == "edge") {
        i = std::clamp<std::int64_t>(i, 0, last);
      } else if (mode == "reflect") {
        i = i < 0 ? -i : i > last ? 2 * last - i : i;
      } else if (i < 0 || i > last) {
        return value;
      }
      source[axis] = i;
    }
    return at(x, x_shape, source);
  });
}

std::vector<float> reference_tile(const Shape& x_shape, const std::vector<float>& x,
                                  const Shape& repeats) {
  Shape y_shape;
  for (std::size_t axis = 0; axis < x_shape.size(); ++axis) {
    y_shape.push_back(x_shape[axis] * repeats[axis]);
  }
  return generated(y_shape, [&](const Shape& position) {
    Shape source = position;
    for (std::size_t axis = 0; axis < x_shape.size(); ++axis) {
      source[axis] %= x_shape[axis];
    }
    return at(x, x_shape, source);
  });
}

/// DepthToSpace: output (n, c, h·b + i, w·b + j) is input channel (i·b + j)·C/b² + c in DCR
/// order, c·b² + i·b + j in CRD order, at (h, w).
std::vector<float> reference_depth_to_space(const Shape& x_shape, const std::vector<float>& x,
                                            std::int64_t b, bool crd) {
  const std::int64_t depth = x_shape[1] / (b * b);
  return generated({x_shape[0], depth, x_shape[2] * b, x_shape[3] * b}, [&](const Shape& p) {
    const std::int64_t i = p[2] % b, j = p[3] % b;
    const std::int64_t channel = crd ? p[1] * b * b + i * b + j : (i * b + j) * depth + p[1];
    return at(x, x_shape, {p[0], channel, p[2] / b, p[3] / b});
  });
}

struct EvaluationCase {
  const char* what;
  std::function<ModelBuilder()> model;
  Shape x;
  std::vector<float> expected;
};

ModelBuilder with_x(const Shape& x, std::int64_t opset = 17) {
  ModelBuilder model(opset);
  model.input("x", {x.begin(), x.end()});
  return model;
}

TEST_CASE("Pad, Tile and DepthToSpace move each element where ONNX says", "[onnx]") {
  const Shape x23{2, 3}, x34{3, 4};
  const std::vector<EvaluationCase> cases{
      {"Pad edge repeats an edge more times than the axis is long",
       [&] {
         ModelBuilder model = with_x(x23);
         model.integers("pads", {4}, {0, 4, 1, 5});
         set_attribute(model.node("Pad", {"x", "pads"}, {"y"}), "mode", std::string("edge"));
         return model.output("y");
       },
       x23, reference_pad(x23, counting(x23), {0, 4, 1, 5}, "edge", 0.0F)},
      {"Pad reflect by the most the axes allow",
       [&] {
         ModelBuilder model = with_x(x34, 11);
         model.integers("pads", {4}, {2, 3, 1, 2});
         set_attribute(model.node("Pad", {"x", "pads"}, {"y"}), "mode", std::string("reflect"));
         return model.output("y");
       },
       x34, reference_pad(x34, counting(x34), {2, 3, 1, 2}, "reflect", 0.0F)},
      {"Pad constant with negative pads removing elements on the other sides",
       [&] {
         ModelBuilder model = with_x(x34, 13);
         model.integers("pads", {4}, {-1, 2, 1, -3}).initializer("v", {}, {7.0F});
         model.node("Pad", {"x", "pads", "v"}, {"y"});
         return model.output("y");
       },
       x34,
       // Rows 1 and 2 of x, then a row of 7; columns: two of 7, then column 0.
       {7, 7, 4, 7, 7, 8, 7, 7, 7}},
      {"Pad edge and Tile of an integer input keep it integer; then a cast to float",
       [&] {
         ModelBuilder model;
         model.input("x", {2, 3}, onnx::TensorProto::INT64).integers("pads", {4}, {1, 1, 0, 1});
         model.integers("repeats", {2}, {2, 1});
         set_attribute(model.node("Pad", {"x", "pads"}, {"p"}), "mode", std::string("edge"));
         model.node("Tile", {"p", "repeats"}, {"t"});
         set_attribute(model.node("Cast", {"t"}, {"y"}), "to",
                       std::int64_t{onnx::TensorProto::FLOAT});
         return model.output("y");
       },
       x23,
       reference_tile({3, 5}, reference_pad(x23, counting(x23), {1, 1, 0, 1}, "edge", 0.0F),
                      {2, 1})},
      {"DepthToSpace with blocksize 3, DCR by default",
       [] {
         ModelBuilder model = with_x({1, 18, 2, 1}, 11);
         set_attribute(model.node("DepthToSpace", {"x"}, {"y"}), "blocksize", std::int64_t{3});
         return model.output("y");
       },
       {1, 18, 2, 1},
       reference_depth_to_space({1, 18, 2, 1}, counting({1, 18, 2, 1}), 3, false)},
  };
  for (const EvaluationCase& c : cases) {
    SECTION(c.what) {
      const OnnxModel imported = expect_value(import_built(c.model()));
      const Tensor& x = *std::find_if(imported.graph.tensors.begin(), imported.graph.tensors.end(),
                                      [](const Tensor& tensor) { return tensor.name == "x"; });
      InputData values = counting(c.x);
      if (x.dtype == DType::I32) {
        std::vector<std::int32_t> integers(count_of(c.x));
        std::iota(integers.begin(), integers.end(), 0);
        values = integers;
      }
      CHECK(evaluate_imported(imported, {{"x", values}}) == std::vector<TensorData>{c.expected});
    }
  }
}

struct SpatialRefusal {
  const char* what;
  std::function<ModelBuilder()> model;
  std::string message;
};

TEST_CASE("forms of Pad, Tile, DepthToSpace and SpaceToDepth are refused, naming why", "[onnx]") {
  // A Pad of x by constant pads in `mode`.
  const auto pad = [](Shape pads, const std::string& mode, Shape x = {2, 3}) {
    return [=] {
      ModelBuilder model = with_x(x);
      model.integers("pads", {static_cast<std::int64_t>(pads.size())}, pads);
      set_attribute(model.node("Pad", {"x", "pads"}, {"y"}, "op"), "mode", mode);
      return model;
    };
  };
  const auto rearrange = [](const char* op, Shape x, std::int64_t block) {
    return [=] {
      ModelBuilder model = with_x(x);
      set_attribute(model.node(op, {"x"}, {"y"}, "op"), "blocksize", block);
      return model;
    };
  };
  const std::vector<SpatialRefusal> refusals{
      {"Pad in a mode ONNX added later", pad({0, 1, 0, 1}, "wrap"),
       "mode \"wrap\" is not supported; only constant, edge and reflect are"},
      {"negative pads outside constant mode", pad({0, -1, 0, 0}, "edge"),
       "negative pads on axis 1 of extent 3 are only supported in constant mode"},
      {"a reflection longer than the axis less its edge", pad({0, 3, 0, 0}, "reflect"),
       "reflect pads 3 and 0 on axis 1 of extent 3 are not supported; at most 2 are"},
      {"pads that remove every element", pad({0, -2, 0, -1}, "constant"),
       "pads -2 and -1 on axis 1 of extent 3 leave no element; the graph has no empty tensors"},
      {"reflections needing more slices than the bound",
       pad({0, 600, 0, 600}, "reflect", {1, 2000}),
       "the reflections need 1200 slices; at most 1024 are supported"},
      {"a constant_value computed by the graph",
       [] {
         ModelBuilder model = with_x({2, 3});
         model.input("v", {1}).integers("pads", {4}, {0, 1, 0, 1});
         model.node("Pad", {"x", "pads", "v"}, {"y"}, "op");
         return model;
       },
       "constant_value \"v\" is not a constant"},
      {"constant padding of integers",
       [] {
         ModelBuilder model;
         model.input("x", {2, 3}, onnx::TensorProto::INT64).integers("pads", {4}, {0, 1, 0, 1});
         model.node("Pad", {"x", "pads"}, {"y"}, "op");
         return model;
       },
       "input \"x\" has data type INT64; only FLOAT (float32) is supported"},
      {"a repeat of 0",
       [] {
         ModelBuilder model = with_x({2, 3});
         model.integers("repeats", {2}, {1, 0});
         model.node("Tile", {"x", "repeats"}, {"y"}, "op");
         return model;
       },
       "repeats [1, 0] hold 0; the graph has no empty tensors"},
      {"DepthToSpace of channels that blocks do not divide",
       rearrange("DepthToSpace", {1, 6, 2, 2}, 2),
       "the channels 6 are not a multiple of 4, blocksize 2 squared"},
      {"SpaceToDepth of a width that blocks do not divide",
       rearrange("SpaceToDepth", {1, 1, 4, 5}, 2),
       "input \"x\" [1, 1, 4, 5]: H and W are not multiples of blocksize 2"},
  };
  for (const SpatialRefusal& refusal : refusals) {
    SECTION(refusal.what) {
      ModelBuilder model = refusal.model();
      const std::string op = model.model().graph().node().rbegin()->op_type();
      CHECK(import_error(model.output("y", onnx::TensorProto::FLOAT, std::vector<Extent>{1})) ==
            "model.onnx: node 0 \"op\" (" + op + "): " + refusal.message);
    }
  }
}

} // namespace
} // namespace orvik_compiler::testing
