// Nodes of constants evaluated at import: the shape arithmetic exporters write leaves only
// constants, with ONNX's integer and float semantics, and folding stays within the expansion
// limit.

#include "onnx_test_support.hpp"

#include <bit>
#include <functional>
#include <limits>

namespace orvik_compiler::testing {
namespace {

using Ints = std::vector<std::int64_t>;

/// The node's output "r" cast to FLOAT as "y", the graph's output.
ModelBuilder& as_float_output(ModelBuilder& model, const std::string& result = "r") {
  set_attribute(model.node("Cast", {result}, {"y"}), "to", std::int64_t{onnx::TensorProto::FLOAT});
  return model.output("y");
}

struct FoldingCase {
  const char* what;
  std::function<ModelBuilder()> model;
  std::vector<std::uint64_t> shape;
  std::vector<float> expected;
};

TEST_CASE("nodes of constants fold to ONNX's values and leave no operation", "[onnx]") {
  const std::vector<FoldingCase> cases{
      {"Shape of an input of fixed dimensions",
       [] {
         ModelBuilder model;
         model.input("x", {2, 3, 4}).node("Shape", {"x"}, {"r"});
         return as_float_output(model);
       },
       {3},
       {2, 3, 4}},
      {"Shape (opset 15) from start 1 to end -1",
       [] {
         ModelBuilder model;
         model.input("x", {2, 3, 4, 5});
         onnx::NodeProto& shape = model.node("Shape", {"x"}, {"r"});
         set_attribute(shape, "start", std::int64_t{1});
         set_attribute(shape, "end", std::int64_t{-1});
         return as_float_output(model);
       },
       {2},
       {3, 4}},
      {"the batch of a Shape gathered, unsqueezed and joined to [batch, -1, 8]",
       [] {
         ModelBuilder model;
         model.input("x", {5, 3, 4}).node("Shape", {"x"}, {"shape"});
         model.integers("zero", {}, {0}).integers("axes", {1}, {0});
         model.integers("rest", {2}, {-1, 8});
         model.node("Gather", {"shape", "zero"}, {"batch"});
         model.node("Unsqueeze", {"batch", "axes"}, {"batch_1"});
         set_attribute(model.node("Concat", {"batch_1", "rest"}, {"r"}), "axis", std::int64_t{0});
         return as_float_output(model);
       },
       {3},
       {5, -1, 8}},
      {"Gather of rows of a constant matrix along axis 1",
       [] {
         ModelBuilder model;
         model.integers("m", {2, 3}, {1, 2, 3, 4, 5, 6}).integers("i", {2}, {-1, 0});
         set_attribute(model.node("Gather", {"m", "i"}, {"r"}), "axis", std::int64_t{1});
         return as_float_output(model);
       },
       {2, 2},
       {3, 1, 6, 4}},
      {"Slice with a negative step from the end to before the start",
       [] {
         ModelBuilder model;
         model.integers("v", {6}, {0, 1, 2, 3, 4, 5}).integers("starts", {1}, {-1});
         model.integers("ends", {1}, {std::numeric_limits<std::int64_t>::min()});
         model.integers("axes", {1}, {0}).integers("steps", {1}, {-2});
         model.node("Slice", {"v", "starts", "ends", "axes", "steps"}, {"r"});
         return as_float_output(model);
       },
       {3},
       {5, 3, 1}},
      {"Slice of the second axis of a matrix with clamped bounds",
       [] {
         ModelBuilder model;
         model.integers("m", {2, 3}, {1, 2, 3, 4, 5, 6}).integers("starts", {1}, {1});
         model.integers("ends", {1}, {100}).integers("axes", {1}, {-1});
         model.node("Slice", {"m", "starts", "ends", "axes"}, {"r"});
         return as_float_output(model);
       },
       {2, 2},
       {2, 3, 5, 6}},
      {"integer Sub, Mul and Div broadcast, Div truncating toward zero",
       [] {
         ModelBuilder model;
         model.integers("a", {2, 2}, {7, -7, 9, -9}).integers("b", {2}, {2, 4});
         model.integers("one", {}, {1});
         model.node("Div", {"a", "b"}, {"q"});
         model.node("Mul", {"q", "b"}, {"p"});
         model.node("Sub", {"p", "one"}, {"r"});
         return as_float_output(model);
       },
       {2, 2},
       {5, -5, 7, -9}},
      {"Equal and Where pick between two constants by a broadcast condition",
       [] {
         ModelBuilder model;
         model.integers("a", {3}, {1, 2, 3}).integers("b", {1}, {2});
         model.initializer("x", {3}, {10, 20, 30}).initializer("z", {}, {-1});
         model.node("Equal", {"a", "b"}, {"c"});
         model.node("Where", {"c", "x", "z"}, {"y"});
         return model.output("y");
       },
       {3},
       {-1, 20, -1}},
      {"Range of integers with a step that does not divide the span",
       [] {
         ModelBuilder model;
         model.integers("s", {}, {1}).integers("l", {}, {11}).integers("d", {}, {3});
         model.node("Range", {"s", "l", "d"}, {"r"});
         return as_float_output(model);
       },
       {4},
       {1, 4, 7, 10}},
      {"Range of float scalars, whose values shape inference reads as well",
       [] {
         ModelBuilder model;
         model.initializer("s", {}, {0.5F})
             .initializer("l", {}, {2.0F})
             .initializer("d", {}, {0.5F});
         model.node("Range", {"s", "l", "d"}, {"y"});
         return model.output("y");
       },
       {3},
       {0.5, 1, 1.5}},
      {"ConstantOfShape without a value fills float zeros; Expand repeats a column",
       [] {
         ModelBuilder model;
         model.integers("shape", {2}, {2, 3}).initializer("column", {2, 1}, {4, 5});
         model.node("ConstantOfShape", {"shape"}, {"zeros"});
         model.node("Expand", {"column", "shape"}, {"wide"});
         model.node("Add", {"zeros", "wide"}, {"y"});
         return model.output("y");
       },
       {2, 3},
       {4, 4, 4, 5, 5, 5}},
      {"Trilu keeps the lower triangle of a ones matrix, a causal mask",
       [] {
         ModelBuilder model;
         model.initializer("ones", {3, 3}, std::vector<float>(9, 1.0F));
         set_attribute(model.node("Trilu", {"ones"}, {"y"}), "upper", std::int64_t{0});
         return model.output("y");
       },
       {3, 3},
       {1, 0, 0, 1, 1, 0, 1, 1, 1}},
      {"Trilu keeps the upper triangle above the diagonal with k = 1, per matrix",
       [] {
         ModelBuilder model;
         model.initializer("m", {2, 2, 3}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
         model.integers("k", {}, {1}).node("Trilu", {"m", "k"}, {"y"});
         return model.output("y");
       },
       {2, 2, 3},
       {0, 2, 3, 0, 0, 6, 0, 8, 9, 0, 0, 12}},
  };
  for (const FoldingCase& c : cases) {
    SECTION(c.what) {
      const OnnxModel imported = expect_value(import_built(c.model()));
      CHECK(imported.graph.ops.empty());
      CHECK(imported.graph.tensors[imported.graph.outputs.at(0).index].shape == c.shape);
      CHECK(weight_values(imported, "y") == c.expected);
    }
  }
}

TEST_CASE("folded float arithmetic rounds each step to float32", "[onnx]") {
  ModelBuilder model;
  model.initializer("a", {2}, {0.1F, 1.0F}).initializer("b", {2}, {0.2F, 3.0F});
  model.node("Add", {"a", "b"}, {"sum"});
  model.node("Div", {"sum", "b"}, {"y"});
  const OnnxModel imported = expect_value(import_built(model.output("y")));
  const std::vector<float> values = weight_values(imported, "y");
  REQUIRE(values.size() == 2);
  CHECK(std::bit_cast<std::uint32_t>(values[0]) ==
        std::bit_cast<std::uint32_t>((0.1F + 0.2F) / 0.2F));
  CHECK(std::bit_cast<std::uint32_t>(values[1]) == std::bit_cast<std::uint32_t>(4.0F / 3.0F));
}

TEST_CASE("a node of constants that reads an activation is converted, not folded", "[onnx]") {
  ModelBuilder model;
  model.input("x", {3, 2}).integers("n", {1}, {2}).node("Shape", {"x"}, {"shape"});
  model.node("Mul", {"shape", "n"}, {"doubled"});
  set_attribute(model.node("Cast", {"doubled"}, {"d"}), "to",
                std::int64_t{onnx::TensorProto::FLOAT});
  model.node("Mul", {"x", "d"}, {"y"});
  const OnnxModel imported = expect_value(import_built(model.output("y")));
  CHECK(describe(imported.graph) ==
        std::vector<std::string>{"y = Mul(x, d/broadcast)", "-> y [3, 2]"});
}

struct Refusal {
  const char* what;
  std::function<ModelBuilder()> model;
  std::string message;
};

TEST_CASE("malformed or oversized folding is refused with the node named", "[onnx]") {
  const std::vector<Refusal> refusals{
      {"an integer division by zero",
       [] {
         ModelBuilder model;
         model.integers("a", {2}, {4, 5}).integers("b", {2}, {2, 0});
         model.node("Div", {"a", "b"}, {"r"}, "div");
         return as_float_output(model);
       },
       "model.onnx: node 0 \"div\" (Div): the integer division 5 / 0 has no result"},
      {"a constant index outside the axis",
       [] {
         ModelBuilder model;
         model.integers("v", {3}, {1, 2, 3}).integers("i", {1}, {-4});
         model.node("Gather", {"v", "i"}, {"r"}, "g");
         return as_float_output(model);
       },
       "model.onnx: node 0 \"g\" (Gather): index -4 is outside [-3, 3)"},
      {"a Range whose delta is 0",
       [] {
         ModelBuilder model;
         model.integers("s", {}, {0}).integers("l", {}, {3}).integers("d", {}, {0});
         model.node("Range", {"s", "l", "d"}, {"r"}, "range");
         return as_float_output(model);
       },
       "model.onnx: node 0 \"range\" (Range): the range's delta is 0"},
      {"a ConstantOfShape beyond the expansion limit",
       [] {
         ModelBuilder model;
         model.integers("shape", {2}, {1000, 1000});
         model.node("ConstantOfShape", {"shape"}, {"y"}, "fill");
         return model.output("y");
       },
       "model.onnx: node 0 \"fill\" (ConstantOfShape): folding the node to [1000, 1000] needs "
       "8000000 bytes, beyond the expansion limit of 1000000 bytes"},
      {"an expansion whose values fit the limit but not with their copy into a weight",
       [] {
         ModelBuilder model;
         model.initializer("one", {}, {1.0F}).integers("shape", {1}, {150000});
         model.node("Expand", {"one", "shape"}, {"y"}, "grow");
         return model.output("y");
       },
       "model.onnx: node 0 \"grow\" (Expand): folding the node to [150000] needs 1200000 bytes, "
       "beyond the expansion limit of 1000000 bytes"},
      {"a fold whose input copies exhaust the limit",
       [] {
         ModelBuilder model;
         model.initializer("big", {100000}, std::vector<float>(100000, 1.0F));
         model.initializer("two", {1}, {2.0F});
         model.node("Mul", {"big", "two"}, {"twice"}, "first");
         model.node("Mul", {"twice", "two"}, {"y"}, "second");
         return model.output("y");
       },
       "model.onnx: node 0 \"first\" (Mul): folding the node to [100000] needs 800000 bytes, "
       "beyond the expansion limit of 1000000 bytes"},
      {"a Where whose condition is not BOOL",
       [] {
         ModelBuilder model;
         model.integers("c", {1}, {1}).initializer("x", {1}, {1}).initializer("z", {1}, {2});
         model.node("Where", {"c", "x", "z"}, {"y"}, "where");
         return model.output("y");
       },
       "model.onnx: node 0 \"where\" (Where): the condition has data type INT64, not BOOL"},
  };
  OnnxImportOptions options;
  options.expansion_limit = 1000000;
  for (const Refusal& refusal : refusals) {
    SECTION(refusal.what) {
      CHECK(import_error(refusal.model(), options) == refusal.message);
    }
  }
}

} // namespace
} // namespace orvik_compiler::testing
