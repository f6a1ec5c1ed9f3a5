// How each supported operator maps onto the graph's operations, and how the others are refused.

#include "onnx_test_support.hpp"
#include "src/onnx/converters.hpp"

#include <functional>

namespace orvik_compiler::testing {
namespace {

using Lines = std::vector<std::string>;

struct MappingCase {
  const char* what;
  std::function<ModelBuilder()> model;
  Lines expected;
};

/// a [2, 3] times the transposed initializer b [4, 3], with a non-constant C [2, 4] or none.
ModelBuilder gemm(bool with_c) {
  ModelBuilder model(13);
  model.input("a", {2, 3}).initializer("b", {4, 3}, std::vector<float>(12, 1.0F));
  if (with_c) {
    model.input("c", {2, 4});
  }
  onnx::NodeProto& node =
      with_c ? model.node("Gemm", {"a", "b", "c"}, {"y"}) : model.node("Gemm", {"a", "b"}, {"y"});
  set_attribute(node, "transB", std::int64_t{1});
  return model;
}

TEST_CASE("each supported operator maps onto the graph's operations", "[onnx]") {
  const std::vector<MappingCase> cases{
      {"MatMul of rank-2 operands; an initializer becomes a weight of its name",
       [] {
         ModelBuilder model;
         model.input("x", {2, 3}).initializer("w", {3, 4}, std::vector<float>(12, 0.5F));
         model.node("MatMul", {"x", "w"}, {"y"});
         return model.output("y");
       },
       {"y = MatMul(x, w)", "-> y [2, 4]"}},
      {"Gemm with every attribute: transposes, a Mul by alpha, C scaled by beta at import",
       [] {
         ModelBuilder model(13);
         model.input("a", {3, 2}).initializer("b", {4, 3}, std::vector<float>(12, 1.0F));
         model.initializer("c", {4}, {1.0F, 2.0F, 3.0F, 4.0F});
         onnx::NodeProto& node = model.node("Gemm", {"a", "b", "c"}, {"y"});
         set_attribute(node, "transA", std::int64_t{1});
         set_attribute(node, "transB", std::int64_t{1});
         set_attribute(node, "alpha", 2.0F);
         set_attribute(node, "beta", 0.5F);
         return model.output("y");
       },
       {"y/a_transposed = Transpose { permutation: [1, 0] }(a)",
        "y/b_transposed = Transpose { permutation: [1, 0] }(b)",
        "y/product = MatMul(y/a_transposed, y/b_transposed)",
        "y/scaled = Mul(y/product, y/alpha/broadcast)", "y = Add(y/scaled, c/times_beta/broadcast)",
        "-> y [2, 4]"}},
      {"Gemm without C is a MatMul of the node's name",
       [] { return gemm(false).output("y"); },
       {"y/b_transposed = Transpose { permutation: [1, 0] }(b)", "y = MatMul(a, y/b_transposed)",
        "-> y [2, 4]"}},
      {"Gemm with a non-constant C of the result's shape and beta: a Mul of C",
       [] {
         ModelBuilder model = gemm(true);
         set_attribute(*model.model().mutable_graph()->mutable_node(0), "beta", 2.0F);
         return model.output("y");
       },
       {"y/b_transposed = Transpose { permutation: [1, 0] }(b)",
        "y/product = MatMul(a, y/b_transposed)", "y/c_scaled = Mul(c, y/beta/broadcast)",
        "y = Add(y/product, y/c_scaled)", "-> y [2, 4]"}},
      {"Add of equal shapes",
       [] {
         ModelBuilder model;
         model.input("x", {2, 4}).input("y", {2, 4});
         model.node("Add", {"x", "y"}, {"z"});
         return model.output("z");
       },
       {"z = Add(x, y)", "-> z [2, 4]"}},
      {"a constant left operand broadcast to the other's shape keeps its place",
       [] {
         ModelBuilder model;
         model.input("x", {2, 4}).initializer("bias", {4}, {1, 2, 3, 4});
         model.node("Add", {"bias", "x"}, {"z"});
         return model.output("z");
       },
       {"z = Add(bias/broadcast, x)", "-> z [2, 4]"}},
      {"Mul by a scalar constant",
       [] {
         ModelBuilder model;
         model.input("x", {2, 4}).constant("s", {}, {3.0F});
         model.node("Mul", {"x", "s"}, {"z"});
         return model.output("z");
       },
       {"z = Mul(x, s/broadcast)", "-> z [2, 4]"}},
      {"Sub of a constant is a Sub",
       [] {
         ModelBuilder model;
         model.input("x", {2, 2}).initializer("c", {2, 2}, {1, -2, 3, -4});
         model.node("Sub", {"x", "c"}, {"z"});
         return model.output("z");
       },
       {"z = Sub(x, c)", "-> z [2, 2]"}},
      {"Div by a constant is a Div, not a product by the reciprocal",
       [] {
         ModelBuilder model;
         model.input("x", {2, 2}).initializer("c", {2}, {2, 4});
         model.node("Div", {"x", "c"}, {"z"});
         return model.output("z");
       },
       {"z = Div(x, c/broadcast)", "-> z [2, 2]"}},
      {"Transpose reverses the axes by default",
       [] {
         ModelBuilder model;
         model.input("x", {2, 3, 4});
         model.node("Transpose", {"x"}, {"y"});
         return model.output("y");
       },
       {"y = Transpose { permutation: [2, 1, 0] }(x)", "-> y [4, 3, 2]"}},
      {"Reshape: 0 copies the input's extent, -1 is inferred",
       [] {
         ModelBuilder model;
         model.input("x", {2, 3, 4}).integers("shape", {2}, {0, -1});
         model.node("Reshape", {"x", "shape"}, {"y"});
         return model.output("y");
       },
       {"y = Reshape { shape: [2, 12] }(x)", "-> y [2, 12]"}},
      {"Reshape with allowzero takes a 0 as it is",
       [] {
         ModelBuilder model;
         model.input("x", {1, 6}).integers("shape", {2}, {3, 2});
         set_attribute(model.node("Reshape", {"x", "shape"}, {"y"}), "allowzero", std::int64_t{1});
         return model.output("y");
       },
       {"y = Reshape { shape: [3, 2] }(x)", "-> y [3, 2]"}},
      {"Flatten at axis 0 makes one row",
       [] {
         ModelBuilder model;
         model.input("x", {2, 3});
         set_attribute(model.node("Flatten", {"x"}, {"y"}), "axis", std::int64_t{0});
         return model.output("y");
       },
       {"y = Reshape { shape: [1, 6] }(x)", "-> y [1, 6]"}},
      {"Squeeze (opset 13) of constant axes, and of every axis of extent 1",
       [] {
         ModelBuilder model(13);
         model.input("x", {1, 2, 1, 3}).integers("axes", {1}, {-2});
         model.node("Squeeze", {"x", "axes"}, {"y"});
         model.node("Squeeze", {"y"}, {"z"});
         return model.output("y").output("z");
       },
       {"y = Reshape { shape: [1, 2, 3] }(x)", "z = Reshape { shape: [2, 3] }(y)", "-> y [1, 2, 3]",
        "-> z [2, 3]"}},
      {"Unsqueeze (opset 11) of axes given as an attribute, negative ones from the end",
       [] {
         ModelBuilder model(11);
         model.input("x", {2, 3});
         set_attribute(model.node("Unsqueeze", {"x"}, {"y"}), "axes",
                       std::vector<std::int64_t>{0, -1});
         return model.output("y");
       },
       {"y = Reshape { shape: [1, 2, 3, 1] }(x)", "-> y [1, 2, 3, 1]"}},
      {"Identity is no operation, except a Reshape where an output needs its name",
       [] {
         ModelBuilder model;
         model.input("x", {2, 3});
         model.node("Identity", {"x"}, {"same"});
         model.node("Transpose", {"same"}, {"t"});
         model.node("Identity", {"x"}, {"copy"});
         return model.output("t").output("copy");
       },
       {"t = Transpose { permutation: [1, 0] }(x)", "copy = Reshape { shape: [2, 3] }(x)",
        "-> t [3, 2]", "-> copy [2, 3]"}},
      {"Softmax (opset 13) along a middle axis",
       [] {
         ModelBuilder model(13);
         model.input("x", {2, 3, 4});
         set_attribute(model.node("Softmax", {"x"}, {"y"}), "axis", std::int64_t{1});
         return model.output("y");
       },
       {"y = Softmax { axis: 1 }(x)", "-> y [2, 3, 4]"}},
      {"Softmax before opset 13 flattens to two dimensions from its axis",
       [] {
         ModelBuilder model(11);
         model.input("x", {2, 3, 4});
         model.node("Softmax", {"x"}, {"y"});
         return model.output("y");
       },
       {"y/rows = Reshape { shape: [2, 12] }(x)", "y/rows_softmax = Softmax { axis: 1 }(y/rows)",
        "y = Reshape { shape: [2, 3, 4] }(y/rows_softmax)", "-> y [2, 3, 4]"}},
      {"Softmax before opset 13 along the last axis needs no reshape",
       [] {
         ModelBuilder model(11);
         model.input("x", {2, 3, 4});
         set_attribute(model.node("Softmax", {"x"}, {"y"}), "axis", std::int64_t{-1});
         return model.output("y");
       },
       {"y = Softmax { axis: 2 }(x)", "-> y [2, 3, 4]"}},
      {"LayerNormalization over the last axis with scale and bias",
       [] {
         ModelBuilder model;
         model.input("x", {2, 4}).initializer("s", {4}, {1, 2, 3, 4});
         model.initializer("b", {4}, {0, 1, 0, 1});
         set_attribute(model.node("LayerNormalization", {"x", "s", "b"}, {"y"}), "epsilon", 0.25F);
         return model.output("y");
       },
       {"y/normalized = LayerNorm { epsilon: 0.25 }(x)",
        "y/scaled = Mul(y/normalized, s/broadcast)", "y = Add(y/scaled, b/broadcast)",
        "-> y [2, 4]"}},
      {"LayerNormalization over trailing axes normalises rows, without bias",
       [] {
         ModelBuilder model;
         model.input("x", {2, 3, 4}).initializer("s", {3, 4}, std::vector<float>(12, 2.0F));
         set_attribute(model.node("LayerNormalization", {"x", "s"}, {"y"}), "axis",
                       std::int64_t{1});
         return model.output("y");
       },
       {"y/normalized/rows = Reshape { shape: [2, 12] }(x)",
        "y/normalized/rows_normalized = LayerNorm { epsilon: 1e-05 }(y/normalized/rows)",
        "y/normalized = Reshape { shape: [2, 3, 4] }(y/normalized/rows_normalized)",
        "y = Mul(y/normalized, s/broadcast)", "-> y [2, 3, 4]"}},
      {"a constant reshaped by Unsqueeze stays a constant and broadcasts",
       [] {
         ModelBuilder model(13);
         model.input("x", {2, 4}).initializer("c", {4}, {1, 2, 3, 4});
         model.integers("axes", {1}, {0});
         model.node("Unsqueeze", {"c", "axes"}, {"c_row"});
         model.node("Add", {"x", "c_row"}, {"z"});
         return model.output("z");
       },
       {"z = Add(x, c_row/broadcast)", "-> z [2, 4]"}},
      {"a constant read twice is one weight; another shape of it is a Reshape of that weight",
       [] {
         ModelBuilder model;
         model.input("x", {2, 3}).input("u", {2, 4});
         model.initializer("w", {3, 4}, std::vector<float>(12, 1.0F));
         model.integers("shape", {2}, {4, 3});
         model.node("MatMul", {"x", "w"}, {"y1"});
         model.node("MatMul", {"x", "w"}, {"y2"});
         model.node("Reshape", {"w", "shape"}, {"w_t"});
         model.node("MatMul", {"u", "w_t"}, {"y3"});
         return model.output("y1").output("y2").output("y3");
       },
       {"y1 = MatMul(x, w)", "y2 = MatMul(x, w)", "w_t = Reshape { shape: [4, 3] }(w)",
        "y3 = MatMul(u, w_t)", "-> y1 [2, 4]", "-> y2 [2, 4]", "-> y3 [2, 3]"}},
      {"an input and a constant passed straight through as outputs",
       [] {
         ModelBuilder model;
         model.input("x", {2}).initializer("c", {3}, {1, 2, 3});
         return model.output("x").output("c");
       },
       {"-> x [2]", "-> c [3]"}},
  };
  for (const MappingCase& mapping : cases) {
    SECTION(mapping.what) {
      const OnnxModel model = expect_value(import_built(mapping.model()));
      CHECK(describe(model.graph) == mapping.expected);
    }
  }
}

/// A model of the given operator set with the input x [1, 2, 1, 3] and the output y of `shape`,
/// made by the node that `make` appends.
ModelBuilder versioned(std::int64_t opset, const std::vector<Extent>& shape,
                       const std::function<void(ModelBuilder& model)>& make) {
  ModelBuilder model(opset);
  model.input("x", {1, 2, 1, 3});
  make(model);
  return model.output("y", onnx::TensorProto::FLOAT, shape);
}

TEST_CASE("an operator is converted by its converter of the model's operator set", "[onnx]") {
  // Each pair is one operator in the last version before a boundary and the first after it, each
  // refused by the other version's converter: a lookup that picks the oldest or the newest
  // converter, or misses the boundary by one, fails one side.
  const std::vector<MappingCase> cases{
      {"Reshape in opset 4 reads its shape attribute",
       [] {
         return versioned(4, {3, 2}, [](ModelBuilder& model) {
           set_attribute(model.node("Reshape", {"x"}, {"y"}), "shape",
                         std::vector<std::int64_t>{3, -1});
         });
       },
       {"y = Reshape { shape: [3, 2] }(x)", "-> y [3, 2]"}},
      {"Reshape in opset 5 reads its shape input",
       [] {
         return versioned(5, {3, 2}, [](ModelBuilder& model) {
           model.integers("shape", {2}, {3, -1});
           model.node("Reshape", {"x", "shape"}, {"y"});
         });
       },
       {"y = Reshape { shape: [3, 2] }(x)", "-> y [3, 2]"}},
      {"Squeeze in opset 12 reads its axes attribute",
       [] {
         return versioned(12, {2, 1, 3}, [](ModelBuilder& model) {
           set_attribute(model.node("Squeeze", {"x"}, {"y"}), "axes", std::vector<std::int64_t>{0});
         });
       },
       {"y = Reshape { shape: [2, 1, 3] }(x)", "-> y [2, 1, 3]"}},
      {"Squeeze in opset 13 reads its axes input",
       [] {
         return versioned(13, {1, 2, 3}, [](ModelBuilder& model) {
           model.integers("axes", {1}, {2});
           model.node("Squeeze", {"x", "axes"}, {"y"});
         });
       },
       {"y = Reshape { shape: [1, 2, 3] }(x)", "-> y [1, 2, 3]"}},
      {"Unsqueeze in opset 12 reads its axes attribute",
       [] {
         return versioned(12, {1, 2, 1, 3, 1}, [](ModelBuilder& model) {
           set_attribute(model.node("Unsqueeze", {"x"}, {"y"}), "axes",
                         std::vector<std::int64_t>{4});
         });
       },
       {"y = Reshape { shape: [1, 2, 1, 3, 1] }(x)", "-> y [1, 2, 1, 3, 1]"}},
      {"Unsqueeze in opset 13 reads its axes input",
       [] {
         return versioned(13, {1, 1, 2, 1, 3}, [](ModelBuilder& model) {
           model.integers("axes", {1}, {0});
           model.node("Unsqueeze", {"x", "axes"}, {"y"});
         });
       },
       {"y = Reshape { shape: [1, 1, 2, 1, 3] }(x)", "-> y [1, 1, 2, 1, 3]"}},
      {"Softmax in opset 12 flattens from its default axis 1",
       [] {
         return versioned(12, {1, 2, 1, 3},
                          [](ModelBuilder& model) { model.node("Softmax", {"x"}, {"y"}); });
       },
       {"y/rows = Reshape { shape: [1, 6] }(x)", "y/rows_softmax = Softmax { axis: 1 }(y/rows)",
        "y = Reshape { shape: [1, 2, 1, 3] }(y/rows_softmax)", "-> y [1, 2, 1, 3]"}},
      {"Softmax in opset 13 works along its default last axis",
       [] {
         return versioned(13, {1, 2, 1, 3},
                          [](ModelBuilder& model) { model.node("Softmax", {"x"}, {"y"}); });
       },
       {"y = Softmax { axis: 3 }(x)", "-> y [1, 2, 1, 3]"}},
  };
  for (const MappingCase& mapping : cases) {
    SECTION(mapping.what) {
      const OnnxModel model = expect_value(import_built(mapping.model()));
      CHECK(describe(model.graph) == mapping.expected);
    }
  }
}

TEST_CASE("an operator without a converter at the model's operator set is unsupported", "[onnx]") {
  using namespace onnx_import;
  onnx::NodeProto proto;
  proto.set_name("ln");
  proto.set_op_type("LayerNormalization");
  proto.add_input("x");
  proto.add_output("y");
  Conversion conversion;
  const auto refusal = [&](std::int64_t opset) {
    conversion.opset = opset;
    const Result<void> converted = convert_node(conversion, Node{proto, 3, proto.op_type()});
    REQUIRE_FALSE(converted.has_value());
    return converted.error().message;
  };
  SECTION("an operator whose every converter is of a newer version") {
    CHECK(find_converter("LayerNormalization", 16) == nullptr);
    CHECK(find_converter("LayerNormalization", 17) != nullptr);
    CHECK(refusal(16) == "node 3 \"ln\" (LayerNormalization): unsupported operator");
  }
  SECTION("an operator of another domain, even where the default domain has one of its name") {
    proto.set_domain("com.example");
    CHECK(refusal(17) == "node 3 \"ln\" (LayerNormalization): unsupported operator");
  }
  SECTION("an operator in the default domain's other spelling has its converter") {
    proto.set_domain("ai.onnx");
    CHECK(refusal(17) == "node 3 \"ln\" (LayerNormalization): input \"x\" is not defined "
                         "before it");
  }
}

TEST_CASE("constants made at import hold the values the operator gives them", "[onnx]") {
  SECTION("Gemm's C scaled by beta and broadcast over the rows") {
    ModelBuilder model(13);
    model.input("a", {2, 3}).initializer("b", {3, 4}, std::vector<float>(12, 1.0F));
    model.initializer("c", {4}, {1.0F, 2.0F, 3.0F, 4.0F});
    set_attribute(model.node("Gemm", {"a", "b", "c"}, {"y"}), "beta", 0.5F);
    const OnnxModel imported = expect_value(import_built(model.output("y")));
    CHECK(weight_values(imported, "c/times_beta/broadcast") ==
          std::vector<float>{0.5F, 1.0F, 1.5F, 2.0F, 0.5F, 1.0F, 1.5F, 2.0F});
  }
  SECTION("a divisor broadcast along a middle axis, its values unchanged") {
    ModelBuilder model;
    model.input("x", {2, 2, 2}).initializer("c", {2, 1, 2}, {1, -2, 4, 8});
    model.node("Div", {"x", "c"}, {"q"});
    const OnnxModel imported = expect_value(import_built(model.output("q")));
    CHECK(weight_values(imported, "c/broadcast") == std::vector<float>{1, -2, 1, -2, 4, 8, 4, 8});
  }
  SECTION("a scalar broadcast to a rank-3 shape") {
    ModelBuilder model;
    model.input("x", {1, 2, 3}).initializer("s", {1}, {7.0F});
    model.node("Mul", {"s", "x"}, {"y"});
    const OnnxModel imported = expect_value(import_built(model.output("y")));
    CHECK(weight_values(imported, "s/broadcast") == std::vector<float>(6, 7.0F));
  }
}

struct Refusal {
  const char* what;
  std::function<ModelBuilder()> model;
  std::string message;
};

TEST_CASE("what the graph cannot express is refused, naming the node", "[onnx]") {
  const std::vector<Refusal> refusals{
      {"an operator without a converter",
       [] {
         ModelBuilder model;
         model.input("x", {2, 3}).initializer("w", {3, 3}, std::vector<float>(9, 1.0F));
         model.node("MatMul", {"x", "w"}, {"h"});
         model.node("Hardmax", {"h"}, {"y"}, "act_hardmax");
         return model.output("y");
       },
       "model.onnx: node 1 \"act_hardmax\" (Hardmax): unsupported operator"},
      {"an operator of another domain",
       [] {
         ModelBuilder model;
         model.input("x", {2, 3});
         model.model().add_opset_import()->set_domain("com.example");
         model.model().mutable_opset_import(1)->set_version(1);
         model.node("Gelu", {"x"}, {"y"}).set_domain("com.example");
         return model.output("y", onnx::TensorProto::FLOAT, {{2, 3}});
       },
       "model.onnx: node 0 \"\" (com.example.Gelu): unsupported operator"},
      {"operands whose shapes do not broadcast",
       [] {
         ModelBuilder model;
         model.input("x", {3, 4}).input("y", {3});
         model.node("Add", {"x", "y"}, {"z"});
         return model.output("z", onnx::TensorProto::FLOAT, {{3, 4}});
       },
       "model.onnx: node 0 \"\" (Add): shapes [3, 4] and [3] do not broadcast"},
      {"a data type other than float32",
       [] {
         ModelBuilder model;
         model.input("x", {2}, onnx::TensorProto::UINT8).input("y", {2}, onnx::TensorProto::UINT8);
         model.node("Add", {"x", "y"}, {"z"});
         return model.output("z", onnx::TensorProto::UINT8);
       },
       "model.onnx: node 0 \"\" (Add): input \"x\" has data type UINT8; only FLOAT (float32) is "
       "supported"},
      {"an int64 constant where a float tensor is read",
       [] {
         ModelBuilder model;
         model.integers("w", {2, 3}, {1, 2, 3, 4, 5, 6});
         model.input("x", {3, 2}, onnx::TensorProto::INT64);
         model.node("MatMul", {"w", "x"}, {"y"});
         return model.output("y", onnx::TensorProto::INT64);
       },
       "model.onnx: node 0 \"\" (MatMul): input \"w\" has data type INT64; only FLOAT (float32) "
       "is supported"},
      {"a reshape to a shape computed at run time",
       [] {
         ModelBuilder model;
         model.input("x", {2, 3}).input("shape", {2}, onnx::TensorProto::INT64);
         model.node("Reshape", {"x", "shape"}, {"y"});
         return model.output("y", onnx::TensorProto::FLOAT, {{3, 2}});
       },
       "model.onnx: node 0 \"\" (Reshape): shape input \"shape\" is not a constant; only "
       "constant shape is supported"},
      {"a reshape that makes an empty tensor",
       [] {
         ModelBuilder model;
         model.input("x", {2, 3}).integers("shape", {2}, {0, 6});
         model.node("Reshape", {"x", "shape"}, {"y"});
         set_attribute(*model.model().mutable_graph()->mutable_node(0), "allowzero",
                       std::int64_t{1});
         return model.output("y");
       },
       "model.onnx: node 0 \"\" (Reshape): cannot reshape \"x\" [2, 3] to [0, 6]"},
      {"a layer normalisation whose statistics are read",
       [] {
         ModelBuilder model;
         model.input("x", {2, 4}).initializer("s", {4}, std::vector<float>(4, 1.0F));
         model.node("LayerNormalization", {"x", "s"}, {"y", "mean"}, "ln");
         return model.output("y").output("mean");
       },
       "model.onnx: node 0 \"ln\" (LayerNormalization): its Mean output \"mean\" is used; only "
       "the normalised output is supported"},
      {"a scalar result of a reshape",
       [] {
         ModelBuilder model(13);
         model.input("x", {1, 1});
         model.node("Squeeze", {"x"}, {"y"});
         return model.output("y");
       },
       "model.onnx: node 0 \"\" (Squeeze): the result is a scalar; the graph has no rank-0 "
       "tensors"},
      {"a constant broadcast beyond the expansion limit",
       [] {
         ModelBuilder model;
         model.input("x", {1024, 1024}).initializer("c", {1}, {1.0F});
         model.node("Add", {"x", "c"}, {"y"});
         return model.output("y");
       },
       "model.onnx: node 0 \"\" (Add): broadcasting constant \"c\" to [1024, 1024] needs 4194304 "
       "bytes, beyond the expansion limit of 1048576 bytes"},
  };
  OnnxImportOptions options;
  options.expansion_limit = 1 << 20;
  for (const Refusal& refusal : refusals) {
    SECTION(refusal.what) {
      CHECK(import_error(refusal.model(), options) == refusal.message);
    }
  }
}

} // namespace
} // namespace orvik_compiler::testing
