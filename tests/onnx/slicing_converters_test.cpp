// Slice, Split, Concat, Gather, Where, Expand and Cast: models built in code evaluate to ONNX's
// semantics, and the forms the graph cannot express are refused.

#include "evaluation_support.hpp"

#include <functional>
#include <limits>
#include <numeric>

namespace orvik_compiler::testing {
namespace {

using Ints = std::vector<std::int64_t>;

/// 0, 1, 2, ... as floats.
std::vector<float> counting(std::size_t count, float first = 0.0F) {
  std::vector<float> values(count);
  std::iota(values.begin(), values.end(), first);
  return values;
}

/// Floats of the listed integers, to write expected values briefly.
std::vector<float> floats(std::initializer_list<int> values) {
  std::vector<float> result;
  for (const int value : values) {
    result.push_back(static_cast<float>(value));
  }
  return result;
}

struct EvaluationCase {
  const char* what;
  /// A model whose input "x" is [2, 3, 4] unless it declares its own inputs.
  std::function<ModelBuilder()> model;
  std::vector<std::pair<std::string, InputData>> inputs;
  std::vector<TensorData> expected;
};

ModelBuilder with_x(std::int64_t opset = 17) {
  ModelBuilder model(opset);
  model.input("x", {2, 3, 4});
  return model;
}

const std::vector<float> x_values = counting(24);
constexpr float infinity = std::numeric_limits<float>::infinity();

TEST_CASE("the slicing and joining operators compute what ONNX defines", "[onnx]") {
  const std::vector<EvaluationCase> cases{
      {"Slice of the last axis from a negative start, a clamped end and a step of 2",
       [] {
         ModelBuilder model = with_x();
         model.integers("starts", {1}, {-3})
             .integers("ends", {1}, {std::numeric_limits<std::int64_t>::max()});
         model.integers("axes", {1}, {-1}).integers("steps", {1}, {2});
         model.node("Slice", {"x", "starts", "ends", "axes", "steps"}, {"y"});
         return model.output("y");
       },
       {{"x", x_values}},
       {floats({1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23})}},
      {"Slice of two axes without axes or steps, one end counted from the back",
       [] {
         ModelBuilder model = with_x();
         model.integers("starts", {2}, {0, 1}).integers("ends", {2}, {1, -1});
         model.node("Slice", {"x", "starts", "ends"}, {"y"});
         return model.output("y");
       },
       {{"x", x_values}},
       {floats({4, 5, 6, 7})}},
      {"Split (opset 13) by a split input",
       [] {
         ModelBuilder model = with_x();
         model.integers("split", {2}, {1, 2});
         set_attribute(model.node("Split", {"x", "split"}, {"p", "q"}), "axis", std::int64_t{1});
         return model.output("p").output("q");
       },
       {{"x", x_values}},
       {floats({0, 1, 2, 3, 12, 13, 14, 15}),
        floats({4, 5, 6, 7, 8, 9, 10, 11, 16, 17, 18, 19, 20, 21, 22, 23})}},
      {"Split (opset 11) into equal parts along a negative axis",
       [] {
         ModelBuilder model = with_x(11);
         set_attribute(model.node("Split", {"x"}, {"p", "q"}), "axis", std::int64_t{-1});
         return model.output("p").output("q");
       },
       {{"x", x_values}},
       {floats({0, 1, 4, 5, 8, 9, 12, 13, 16, 17, 20, 21}),
        floats({2, 3, 6, 7, 10, 11, 14, 15, 18, 19, 22, 23})}},
      {"Concat of a tensor and a constant along a middle axis",
       [] {
         ModelBuilder model = with_x();
         model.initializer("c", {2, 1, 4}, counting(8, 100.0F));
         set_attribute(model.node("Concat", {"x", "c"}, {"y"}), "axis", std::int64_t{-2});
         return model.output("y");
       },
       {{"x", x_values}},
       {floats({0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 100, 101, 102, 103,
                12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 104, 105, 106, 107})}},
      {"Gather of constant indices: a slice per run of consecutive rows",
       [] {
         ModelBuilder model;
         model.input("x", {3, 4}).integers("i", {3}, {2, 0, -2});
         model.node("Gather", {"x", "i"}, {"y"});
         return model.output("y");
       },
       {{"x", counting(12)}},
       {floats({8, 9, 10, 11, 0, 1, 2, 3, 4, 5, 6, 7})}},
      {"Gather of a constant scalar index on axis 1 drops the axis",
       [] {
         ModelBuilder model = with_x();
         model.integers("i", {}, {-1});
         set_attribute(model.node("Gather", {"x", "i"}, {"y"}), "axis", std::int64_t{1});
         return model.output("y");
       },
       {{"x", x_values}},
       {floats({8, 9, 10, 11, 20, 21, 22, 23})}},
      {"Gather of an embedding table by integer ids, negative ones from the end",
       [] {
         ModelBuilder model;
         model.input("ids", {2, 2}, onnx::TensorProto::INT64);
         model.initializer("table", {4, 2}, counting(8, 10.0F));
         model.node("Gather", {"table", "ids"}, {"y"});
         return model.output("y");
       },
       {{"ids", std::vector<std::int32_t>{3, 0, -3, 3}}},
       {floats({16, 17, 10, 11, 12, 13, 16, 17})}},
      {"Cast of an integer input to FLOAT, and of floats to INT64 indices (truncated)",
       [] {
         ModelBuilder model;
         model.input("ids", {3}, onnx::TensorProto::INT64).input("f", {2});
         model.initializer("table", {4, 1}, floats({5, 6, 7, 8}));
         set_attribute(model.node("Cast", {"ids"}, {"as_float"}), "to",
                       std::int64_t{onnx::TensorProto::FLOAT});
         set_attribute(model.node("Cast", {"f"}, {"as_index"}), "to",
                       std::int64_t{onnx::TensorProto::INT64});
         model.node("Gather", {"table", "as_index"}, {"picked"});
         return model.output("as_float").output("picked");
       },
       {{"ids", std::vector<std::int32_t>{-2, 0, 7}}, {"f", std::vector<float>{3.9F, 1.2F}}},
       {floats({-2, 0, 7}), floats({8, 6})}},
      {"Cast of a constant stays a constant",
       [] {
         ModelBuilder model;
         model.input("x", {3}).integers("n", {3}, {1, -2, 3});
         set_attribute(model.node("Cast", {"n"}, {"nf"}), "to",
                       std::int64_t{onnx::TensorProto::FLOAT});
         model.node("Add", {"x", "nf"}, {"y"});
         return model.output("y");
       },
       {{"x", floats({10, 20, 30})}},
       {floats({11, 18, 33})}},
      {"Where of a constant causal mask fills above the diagonal, other values untouched",
       [] {
         ModelBuilder model;
         model.input("x", {2, 2, 2}).integers("upper", {2, 2}, {0, 1, 0, 0});
         model.initializer("fill", {}, {-infinity});
         set_attribute(model.node("Cast", {"upper"}, {"mask"}), "to",
                       std::int64_t{onnx::TensorProto::BOOL});
         model.node("Where", {"mask", "fill", "x"}, {"y"});
         return model.output("y");
       },
       {{"x", std::vector<float>{0, 1, 2, 3, infinity, 5, 6, 7}}},
       {std::vector<float>{0, -infinity, 2, 3, infinity, -infinity, 6, 7}}},
      {"Where broadcasts the condition and both operands to their common shape",
       [] {
         ModelBuilder model;
         model.input("x", {1, 3}).integers("rows", {2, 1}, {1, 0});
         model.initializer("other", {2, 3}, counting(6, 10.0F));
         set_attribute(model.node("Cast", {"rows"}, {"first_row"}), "to",
                       std::int64_t{onnx::TensorProto::BOOL});
         model.node("Where", {"first_row", "x", "other"}, {"y"});
         return model.output("y");
       },
       {{"x", floats({1, 2, 3})}},
       {floats({1, 2, 3, 13, 14, 15})}},
      {"Expand broadcasts both ways: [3, 1] to [2, 1, 4] gives [2, 3, 4]",
       [] {
         ModelBuilder model;
         model.input("x", {3, 1}).integers("shape", {3}, {2, 1, 4});
         model.node("Expand", {"x", "shape"}, {"y"});
         return model.output("y");
       },
       {{"x", floats({1, 2, 3})}},
       {floats({1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3})}},
  };
  for (const EvaluationCase& c : cases) {
    SECTION(c.what) {
      const OnnxModel imported = expect_value(import_built(c.model()));
      CHECK(evaluate_imported(imported, c.inputs) == c.expected);
    }
  }
}

TEST_CASE("a Slice changes only the axes whose bounds cut, one Slice each", "[onnx]") {
  ModelBuilder model = with_x();
  model.integers("starts", {3}, {0, -100, 1}).integers("ends", {3}, {2, 100, 3});
  model.integers("axes", {3}, {0, 1, 2});
  model.node("Slice", {"x", "starts", "ends", "axes"}, {"y"});
  model.integers("s2", {1}, {1}).integers("e2", {1}, {2});
  model.node("Slice", {"x", "s2", "e2"}, {"z"});
  const OnnxModel imported = expect_value(import_built(model.output("y").output("z")));
  CHECK(describe(imported.graph) ==
        std::vector<std::string>{"y = Slice { axis: 2, start: 1, stop: 3, step: 1 }(x)",
                                 "z = Slice { axis: 0, start: 1, stop: 2, step: 1 }(x)",
                                 "-> y [2, 3, 2]", "-> z [1, 3, 4]"});
}

TEST_CASE("a Where picks by I32 indices, or is the operand the condition always picks", "[onnx]") {
  const auto where = [](std::vector<std::int64_t> flags) {
    ModelBuilder model;
    model.input("x", {2}).integers("flags", {2}, std::move(flags));
    model.initializer("zero", {1}, {0.0F});
    set_attribute(model.node("Cast", {"flags"}, {"c"}), "to",
                  std::int64_t{onnx::TensorProto::BOOL});
    model.node("Where", {"c", "x", "zero"}, {"y"});
    return expect_value(import_built(model.output("y")));
  };
  const OnnxModel mixed = where({1, 0});
  CHECK(describe(mixed.graph) ==
        std::vector<std::string>{"y/choices = Concat { axis: 0 }(x, y/flat_2)",
                                 "y = Gather(y/choices, y/picks)", "-> y [2]"});
  REQUIRE(mixed.weights.size() == 2);
  CHECK(mixed.weights[1].dtype == DType::I32);
  CHECK(std::vector<std::int32_t>(mixed.weights[1].integers().begin(),
                                  mixed.weights[1].integers().end()) ==
        std::vector<std::int32_t>{0, 3});
  CHECK(mixed.weights[1].values().empty());
  // The output keeps its own name: a reshape of x to its own shape, no choice.
  CHECK(describe(where({1, 1}).graph) ==
        std::vector<std::string>{"y = Reshape { shape: [2] }(x)", "-> y [2]"});
}

struct Refusal {
  const char* what;
  std::function<ModelBuilder()> model;
  std::string message;
};

TEST_CASE("slices, splits, gathers and casts the graph cannot express are refused", "[onnx]") {
  const auto slice = [](Ints starts, Ints ends, Ints steps) {
    ModelBuilder model = with_x();
    model.integers("starts", {1}, starts).integers("ends", {1}, ends);
    model.integers("axes", {1}, {2}).integers("steps", {1}, steps);
    model.node("Slice", {"x", "starts", "ends", "axes", "steps"}, {"y"}, "s");
    return model.output("y", onnx::TensorProto::FLOAT, std::vector<Extent>{1});
  };
  const std::vector<Refusal> refusals{
      {"a negative step", [&] { return slice({3}, {0}, {-1}); },
       "model.onnx: node 0 \"s\" (Slice): step -1 on axis 2 is not supported; only steps of 1 or "
       "more are"},
      {"an empty slice", [&] { return slice({3}, {-2}, {1}); },
       "model.onnx: node 0 \"s\" (Slice): the slice [3, -2) of axis 2 of extent 4 is empty; the "
       "graph has no empty tensors"},
      {"starts computed by the graph",
       [] {
         ModelBuilder model = with_x();
         model.input("starts", {1}, onnx::TensorProto::INT64).integers("ends", {1}, {2});
         model.node("Slice", {"x", "starts", "ends"}, {"y"}, "s");
         return model.output("y", onnx::TensorProto::FLOAT, std::vector<Extent>{1});
       },
       "model.onnx: node 0 \"s\" (Slice): starts input \"starts\" is not a constant; only "
       "constant starts is supported"},
      {"split parts that do not add up to the axis",
       [] {
         ModelBuilder model = with_x();
         model.integers("split", {2}, {1, 1});
         set_attribute(model.node("Split", {"x", "split"}, {"p", "q"}, "sp"), "axis",
                       std::int64_t{1});
         return model.output("p", onnx::TensorProto::FLOAT, std::vector<Extent>{1});
       },
       "model.onnx: node 0 \"sp\" (Split): the parts add up to 2, not to the axis's extent 3"},
      {"a constant index outside the axis",
       [] {
         ModelBuilder model = with_x();
         model.integers("i", {2}, {0, 3});
         set_attribute(model.node("Gather", {"x", "i"}, {"y"}, "g"), "axis", std::int64_t{1});
         return model.output("y", onnx::TensorProto::FLOAT, std::vector<Extent>{1});
       },
       "model.onnx: node 0 \"g\" (Gather): index 3 is outside [-3, 3)"},
      {"graph indices on another axis than 0",
       [] {
         ModelBuilder model = with_x();
         model.input("i", {2}, onnx::TensorProto::INT64);
         set_attribute(model.node("Gather", {"x", "i"}, {"y"}, "g"), "axis", std::int64_t{1});
         return model.output("y", onnx::TensorProto::FLOAT, std::vector<Extent>{1});
       },
       "model.onnx: node 0 \"g\" (Gather): axis 1 with indices computed by the graph is not "
       "supported; only axis 0 is"},
      {"float indices",
       [] {
         ModelBuilder model = with_x();
         model.input("i", {2});
         model.node("Gather", {"x", "i"}, {"y"}, "g");
         return model.output("y", onnx::TensorProto::FLOAT, std::vector<Extent>{1});
       },
       "model.onnx: node 0 \"g\" (Gather): indices \"i\" have data type FLOAT, not INT32 or "
       "INT64"},
      {"an integer tensor read where floats are needed",
       [] {
         ModelBuilder model;
         model.input("ids", {2}, onnx::TensorProto::INT64).input("x", {2});
         model.node("Add", {"x", "ids"}, {"y"}, "add");
         return model.output("y", onnx::TensorProto::FLOAT, std::vector<Extent>{2});
       },
       "model.onnx: node 0 \"add\" (Add): input \"ids\" has data type INT64; only FLOAT "
       "(float32) is supported"},
      {"a cast to another type",
       [] {
         ModelBuilder model = with_x();
         set_attribute(model.node("Cast", {"x"}, {"y"}, "c"), "to",
                       std::int64_t{onnx::TensorProto::DOUBLE});
         return model.output("y", onnx::TensorProto::FLOAT, std::vector<Extent>{1});
       },
       "model.onnx: node 0 \"c\" (Cast): a cast to DOUBLE is not supported; only FLOAT, INT32 "
       "and INT64 are"},
      {"a Where between integer tensors",
       [] {
         ModelBuilder model;
         model.input("ids", {2}, onnx::TensorProto::INT64).integers("flags", {2}, {1, 0});
         set_attribute(model.node("Cast", {"flags"}, {"c"}), "to",
                       std::int64_t{onnx::TensorProto::BOOL});
         model.node("Where", {"c", "ids", "ids"}, {"y"}, "w");
         return model.output("y", onnx::TensorProto::INT64, std::vector<Extent>{2});
       },
       "model.onnx: node 1 \"w\" (Where): input \"ids\" has data type INT64; only FLOAT "
       "(float32) is supported"},
      {"a Where whose condition is not BOOL",
       [] {
         ModelBuilder model = with_x();
         model.integers("flags", {1}, {1});
         model.node("Where", {"flags", "x", "x"}, {"y"}, "w");
         return model.output("y", onnx::TensorProto::FLOAT, std::vector<Extent>{1});
       },
       "model.onnx: node 0 \"w\" (Where): condition \"flags\" has data type INT64, not BOOL"},
      {"an Expand to a shape that does not broadcast",
       [] {
         ModelBuilder model = with_x();
         model.integers("shape", {1}, {3});
         model.node("Expand", {"x", "shape"}, {"y"}, "e");
         return model.output("y", onnx::TensorProto::FLOAT, std::vector<Extent>{1});
       },
       "model.onnx: node 0 \"e\" (Expand): shape [2, 3, 4] does not broadcast with [3]"},
  };
  for (const Refusal& refusal : refusals) {
    SECTION(refusal.what) {
      CHECK(import_error(refusal.model()) == refusal.message);
    }
  }
}

} // namespace
} // namespace orvik_compiler::testing
