// The import as a whole: what a model becomes, symbolic dimensions, and every kind of bad file.

#include "onnx_test_support.hpp"

#include <fstream>
#include <limits>

namespace orvik_compiler::testing {
namespace {

void write_bytes(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

/// A small valid model: y = x w + b with b broadcast over the rows.
ModelBuilder affine() {
  ModelBuilder model;
  model.input("x", {2, 3});
  model.initializer("w", {3, 2}, {1, 2, 3, 4, 5, 6});
  model.initializer("b", {2}, {0.5F, -0.5F});
  model.node("MatMul", {"x", "w"}, {"h"}, "project");
  model.node("Add", {"h", "b"}, {"y"}, "bias");
  return model.output("y");
}

TEST_CASE("a model becomes a graph with its inputs, weights and outputs", "[onnx]") {
  const OnnxModel model = expect_value(import_built(affine()));
  CHECK(describe(model.graph) ==
        std::vector<std::string>{"h = MatMul(x, w)", "y = Add(h, b/broadcast)", "-> y [2, 2]"});
  CHECK(model.input_names == std::vector<std::string>{"x"});
  CHECK(model.output_names == std::vector<std::string>{"y"});
  const std::vector<Tensor>& tensors = model.graph.tensors;
  REQUIRE(model.weights.size() == 2);
  CHECK(tensors[model.weights[0].tensor.index].name == "w");
  CHECK(tensors[model.weights[0].tensor.index].kind == TensorKind::Weight);
  CHECK(weight_values(model, "w") == std::vector<float>{1, 2, 3, 4, 5, 6});
  CHECK(tensors[model.weights[1].tensor.index].name == "b/broadcast");
  CHECK(weight_values(model, "b/broadcast") == std::vector<float>{0.5F, -0.5F, 0.5F, -0.5F});
  CHECK(tensors[0].kind == TensorKind::Input);
}

TEST_CASE("an output listed again is a copy of its first listing under a fresh name", "[onnx]") {
  ModelBuilder listing = affine();
  const std::vector<Extent> rows_by_two{2, 2};
  listing.output("h", onnx::TensorProto::FLOAT, rows_by_two)
      .output("h", onnx::TensorProto::FLOAT, rows_by_two)
      .output("y", onnx::TensorProto::FLOAT, rows_by_two);
  const OnnxModel model = expect_value(import_built(listing));
  CHECK(describe(model.graph) ==
        std::vector<std::string>{"h = MatMul(x, w)", "y = Add(h, b/broadcast)",
                                 "h_2 = Reshape { shape: [2, 2] }(h)",
                                 "y_2 = Reshape { shape: [2, 2] }(y)", "-> y [2, 2]", "-> h [2, 2]",
                                 "-> h_2 [2, 2]", "-> y_2 [2, 2]"});
  CHECK(model.output_names == std::vector<std::string>{"y", "h", "h", "y"});
}

TEST_CASE("initializer values come from raw_data or from the typed field", "[onnx]") {
  ModelBuilder model = affine();
  onnx::TensorProto& w = *model.model().mutable_graph()->mutable_initializer(0);
  w.clear_raw_data();
  for (const float value : {6.0F, 5.0F, 4.0F, 3.0F, 2.0F, 1.0F}) {
    w.add_float_data(value);
  }
  const OnnxModel imported = expect_value(import_built(model));
  CHECK(weight_values(imported, "w") == std::vector<float>{6, 5, 4, 3, 2, 1});
}

TEST_CASE("an input that an initializer names is a constant, not an input", "[onnx]") {
  ModelBuilder model = affine();
  model.input("w", {3, 2});
  const OnnxModel imported = expect_value(import_built(model));
  CHECK(imported.input_names == std::vector<std::string>{"x"});
  CHECK(weight_values(imported, "w") == std::vector<float>{1, 2, 3, 4, 5, 6});
}

TEST_CASE("symbolic dimensions take their extents from the options", "[onnx]") {
  ModelBuilder model;
  model.input("tokens", {std::string("batch"), 4});
  model.node("Softmax", {"tokens"}, {"y"});
  model.output("y");
  OnnxImportOptions options;
  SECTION("given") {
    options.dimensions["batch"] = 3;
    const OnnxModel imported = expect_value(import_built(model, options));
    CHECK(imported.graph.tensors[0].shape == std::vector<std::uint64_t>{3, 4});
  }
  SECTION("missing") {
    options.dimensions["other"] = 3;
    CHECK(import_error(model, options) ==
          "model.onnx: input \"tokens\": symbolic dimension \"batch\" has no value");
  }
  SECTION("given as 0") {
    options.dimensions["batch"] = 0;
    CHECK(import_error(model, options) == "model.onnx: input \"tokens\": symbolic dimension "
                                          "\"batch\" is given as 0; the graph has no empty "
                                          "tensors");
  }
}

TEST_CASE("inputs, initializers and outputs the graph cannot hold are refused by name", "[onnx]") {
  SECTION("a scalar input") {
    ModelBuilder model;
    model.input("x", {});
    model.node("Identity", {"x"}, {"y"});
    CHECK(import_error(model.output("y")) ==
          "model.onnx: input \"x\" is a scalar; the graph has no rank-0 tensors");
  }
  SECTION("an input that nothing reads, of another data type") {
    ModelBuilder model = affine();
    model.input("mask", {2}, onnx::TensorProto::DOUBLE);
    CHECK(import_error(model) ==
          "model.onnx: input \"mask\" has data type DOUBLE; only FLOAT (float32) is supported");
  }
  SECTION("an output of another data type") {
    ModelBuilder model = affine();
    model.integers("count", {1}, {3});
    model.output("count", onnx::TensorProto::INT64);
    CHECK(import_error(model) ==
          "model.onnx: output \"count\" has data type INT64; only FLOAT (float32) is supported");
  }
  SECTION("an initializer whose raw_data is shorter than its shape") {
    ModelBuilder model = affine();
    model.model().mutable_graph()->mutable_initializer(0)->mutable_raw_data()->resize(20);
    CHECK(import_error(model) ==
          "model.onnx: initializer \"w\": raw_data holds 20 bytes, the shape needs 6 x 4");
  }
  SECTION("an initializer with external data") {
    ModelBuilder model = affine();
    onnx::TensorProto& w = *model.model().mutable_graph()->mutable_initializer(0);
    w.clear_raw_data();
    w.set_data_location(onnx::TensorProto::EXTERNAL);
    onnx::StringStringEntryProto* location = w.add_external_data();
    location->set_key("location");
    location->set_value("weights.bin");
    const std::string message = import_error(model);
    CHECK(message == "model.onnx: initializer \"w\": external data is not supported");
  }
}

/// Points a tensor's data at a file; whether it exists must not matter.
void make_external(onnx::TensorProto& tensor, const std::string& location) {
  tensor.clear_raw_data();
  tensor.clear_float_data();
  tensor.set_data_location(onnx::TensorProto::EXTERNAL);
  onnx::StringStringEntryProto* entry = tensor.add_external_data();
  entry->set_key("location");
  entry->set_value(location);
}

/// A `Constant` node whose value lies in `location`.
onnx::NodeProto external_constant(const std::string& location) {
  onnx::NodeProto node;
  node.set_op_type("Constant");
  node.set_name("c");
  node.add_output("k");
  onnx::AttributeProto& value = *node.add_attribute();
  value.set_name("value");
  value.set_type(onnx::AttributeProto::TENSOR);
  *value.mutable_t() = float_tensor("k", {1}, {1.0F});
  make_external(*value.mutable_t(), location);
  return node;
}

/// An `If` node whose then-branch holds `inner`.
onnx::NodeProto branch_holding(const onnx::NodeProto& inner, const std::string& name) {
  onnx::NodeProto node;
  node.set_op_type("If");
  node.set_name(name);
  node.add_input("flag");
  node.add_output(name + "_out");
  for (const char* branch : {"then_branch", "else_branch"}) {
    onnx::AttributeProto& attribute = *node.add_attribute();
    attribute.set_name(branch);
    attribute.set_type(onnx::AttributeProto::GRAPH);
    *attribute.mutable_g()->add_node() = inner;
  }
  return node;
}

TEST_CASE("data in other files is refused wherever the model refers to it", "[onnx]") {
  // The same message whether or not the file exists: an import must not reveal what is on disk.
  for (const std::string location : {"../../etc/passwd", "no-such-file.bin"}) {
    SECTION("a sparse initializer " + location) {
      ModelBuilder model = affine();
      onnx::SparseTensorProto& sparse = *model.model().mutable_graph()->add_sparse_initializer();
      *sparse.mutable_values() = float_tensor("s", {1}, {1.0F});
      make_external(*sparse.mutable_values(), location);
      CHECK(import_error(model) ==
            "model.onnx: sparse initializer \"s\": external data is not supported");
    }
    SECTION("a constant in a branch of a branch " + location) {
      ModelBuilder model = affine();
      *model.model().mutable_graph()->add_node() =
          branch_holding(branch_holding(external_constant(location), "inner"), "outer");
      CHECK(import_error(model) ==
            "model.onnx: node 2 \"outer\" (If): attribute \"then_branch\": node 0 \"inner\" "
            "(If): attribute \"then_branch\": node 0 \"c\" (Constant): attribute \"value\": "
            "external data is not supported");
    }
    SECTION("a constant in a model function " + location) {
      ModelBuilder model = affine();
      onnx::FunctionProto& function = *model.model().add_functions();
      function.set_name("f");
      function.set_domain("local");
      *function.add_node() = external_constant(location);
      CHECK(import_error(model) == "model.onnx: function \"f\": node 0 \"c\" (Constant): "
                                   "attribute \"value\": external data is not supported");
    }
  }
}

TEST_CASE("names that are not well-formed UTF-8 are refused, never merged", "[onnx]") {
  // "a\xff" and "a\xfe" would both read back as "a\uFFFD" from a graph file.
  ModelBuilder model;
  model.input("a\xff", {2}).input("a\xfe", {2});
  model.node("Add", {"a\xff", "a\xfe"}, {"y"});
  CHECK(import_error(model.output("y")) ==
        "model.onnx: value name \"a\\xff\" is not well-formed UTF-8");
  ModelBuilder output;
  output.input("x", {2});
  output.node("Relu", {"x"}, {"\xed\xa0\x80"});
  CHECK(import_error(
            output.output("\xed\xa0\x80", onnx::TensorProto::FLOAT, std::vector<Extent>{2})) ==
        "model.onnx: value name \"\\xed\\xa0\\x80\" is not well-formed UTF-8");
}

TEST_CASE("tensors of huge rank stop at the memory limit, naming the node", "[onnx]") {
  // Small files that name hundreds of tensors of rank 100,000: each would hold megabytes of
  // shapes, gigabytes in all, before anything else refused them.
  const std::vector<std::int64_t> ones(100000, 1);
  const auto refused_at_limit = [](const std::string& message, const std::string& op) {
    INFO(message);
    CHECK(message.starts_with("model.onnx: node "));
    CHECK(message.find("(" + op +
                       "): importing the node takes the graph past the memory limit "
                       "of ") != std::string::npos);
  };
  SECTION("Reshapes sharing one shape constant") {
    ModelBuilder model;
    model.input("x", {1}).integers("shape", {100000}, ones);
    for (int i = 0; i < 400; ++i) {
      model.node("Reshape", {"x", "shape"}, {"r" + std::to_string(i)});
    }
    refused_at_limit(
        import_error(model.output("r0", onnx::TensorProto::FLOAT, std::vector<Extent>{1})),
        "Reshape");
  }
  SECTION("Adds of an input of that rank") {
    ModelBuilder model;
    model.input("x", std::vector<Extent>(ones.begin(), ones.end()));
    for (int i = 0; i < 400; ++i) {
      model.node("Add", {"x", "x"}, {"s" + std::to_string(i)});
    }
    refused_at_limit(
        import_error(model.output("s0", onnx::TensorProto::FLOAT, std::vector<Extent>{1})), "Add");
  }
  SECTION("a limit given in the options") {
    OnnxImportOptions options;
    options.memory_limit = 1000;
    ModelBuilder model;
    model.input("x", {4});
    model.node("Relu", {"x"}, {"a"}, "first");
    model.node("Relu", {"a"}, {"b"}, "second");
    model.node("Relu", {"b"}, {"y"}, "third");
    CHECK(import_error(model.output("y"), options) ==
          "model.onnx: node 1 \"second\" (Relu): importing the node takes the graph past the "
          "memory limit of 1000 bytes");
  }
}

TEST_CASE("a file that is not a model is refused, never a crash", "[onnx]") {
  const ScratchDirectory scratch;
  const std::filesystem::path path = scratch / "model.onnx";
  const auto error = [&] {
    const Result<OnnxModel> imported = import_onnx(path, {});
    REQUIRE_FALSE(imported.has_value());
    return imported.error().message;
  };
  SECTION("missing") {
    CHECK(error() == path.string() + ": cannot read: No such file or directory");
  }
  SECTION("a directory") {
    std::filesystem::create_directory(path);
    CHECK(error() == path.string() + ": cannot read: Is a directory");
  }
  SECTION("not protobuf") {
    write_bytes(path, std::string(16, '\xff'));
    CHECK(error() ==
          path.string() + ": not a protobuf message of this kind (malformed or truncated)");
  }
  SECTION("truncated inside a weight") {
    const std::string bytes = affine().bytes();
    write_bytes(path, bytes.substr(0, bytes.find("project") - 8));
    CHECK(error() ==
          path.string() + ": not a protobuf message of this kind (malformed or truncated)");
  }
  SECTION("empty: a model without a graph, as ONNX's checker says") {
    write_bytes(path, "");
    CHECK(error().rfind(path.string() + ": ", 0) == 0);
  }
}

TEST_CASE("the checker's and shape inference's messages are reported as they are", "[onnx]") {
  SECTION("a node that reads a value nothing defines") {
    ModelBuilder model = affine();
    model.model().mutable_graph()->mutable_node(1)->set_input(0, "nowhere");
    const std::string message = import_error(model);
    CHECK_THAT(message, Catch::Contains("nowhere"));
  }
  SECTION("an attribute of the wrong type") {
    ModelBuilder model;
    model.input("x", {2, 3});
    set_attribute(model.node("Transpose", {"x"}, {"y"}), "perm", 1.0F);
    const std::string message = import_error(model.output("y", onnx::TensorProto::FLOAT, {{3, 2}}));
    CHECK_THAT(message, Catch::Contains("perm"));
  }
}

TEST_CASE("a model that imports no operator set is converted as of opset 1", "[onnx]") {
  // ONNX's checker allows this before IR version 3 and reads it as opset 1; the converters accept
  // the node and shape inference, which finds no operator set, refuses the model.
  ModelBuilder model;
  model.model().set_ir_version(2);
  model.model().clear_opset_import();
  model.input("x", {2, 3});
  set_attribute(model.node("Reshape", {"x"}, {"y"}), "shape", std::vector<std::int64_t>{3, 2});
  const std::string message = import_error(model.output("y", onnx::TensorProto::FLOAT, {{3, 2}}));
  CHECK_THAT(message, Catch::Contains("No opset import for domain optype Reshape"));
}

TEST_CASE("declared types that contradict the computed ones are refused before shape inference "
          "trusts them",
          "[onnx]") {
  ModelBuilder model;
  model.input("x", {2, 3}).initializer("w", {3, 4}, std::vector<float>(12, 1.0F));
  model.node("MatMul", {"x", "w"}, {"y"});
  SECTION("an output's shape") {
    CHECK(import_error(model.output("y", onnx::TensorProto::FLOAT, {{2, 5}})) ==
          "model.onnx: output \"y\" is declared as FLOAT [2, 5], but it is FLOAT [2, 4]");
  }
  SECTION("an output that is an input, declared as a scalar (which once crashed ONNX's Gemm "
          "inference)") {
    CHECK(import_error(
              model.output("y").output("x", onnx::TensorProto::FLOAT, std::vector<Extent>{})) ==
          "model.onnx: output \"x\" is declared as FLOAT [], but it is FLOAT [2, 3]");
  }
  SECTION("a value's data type") {
    onnx::ValueInfoProto& info = *model.model().mutable_graph()->add_value_info();
    info.set_name("y");
    info.mutable_type()->mutable_tensor_type()->set_elem_type(onnx::TensorProto::DOUBLE);
    CHECK(import_error(model.output("y", onnx::TensorProto::FLOAT, {{2, 4}})) ==
          "model.onnx: value \"y\" is declared as DOUBLE of any shape, but it is FLOAT [2, 4]");
  }
  SECTION("an input that an initializer gives another shape") {
    model.input("w", {4, std::string("n")});
    CHECK(import_error(model.output("y", onnx::TensorProto::FLOAT, {{2, 4}})) ==
          "model.onnx: input \"w\" is declared as FLOAT [4, n], but it is FLOAT [3, 4]");
  }
}

/// An integer tensor of `type` with `values` in `raw_data`, little-endian, each `width` bytes.
onnx::TensorProto integer_tensor(onnx::TensorProto::DataType type, std::size_t width,
                                 const std::vector<std::int64_t>& shape,
                                 const std::vector<std::int64_t>& values) {
  onnx::TensorProto tensor;
  tensor.set_name("ids");
  tensor.set_data_type(type);
  for (const std::int64_t extent : shape) {
    tensor.add_dims(extent);
  }
  std::string bytes;
  for (const std::int64_t value : values) {
    for (std::size_t i = 0; i < width; ++i) {
      bytes.push_back(static_cast<char>((static_cast<std::uint64_t>(value) >> (8 * i)) & 0xFFU));
    }
  }
  tensor.set_raw_data(bytes);
  return tensor;
}

TEST_CASE("integer tensor files are read as I32 values", "[onnx]") {
  const ScratchDirectory scratch;
  const std::filesystem::path path = scratch / "ids.pb";
  constexpr std::int64_t lowest = std::numeric_limits<std::int32_t>::min();
  constexpr std::int64_t highest = std::numeric_limits<std::int32_t>::max();
  const OnnxTensor expected{"ids", {2, 2}, {}, DType::I32, {0, -1, lowest, highest}};
  SECTION("INT32 in raw_data") {
    write_bytes(path, integer_tensor(onnx::TensorProto::INT32, 4, {2, 2}, {0, -1, lowest, highest})
                          .SerializeAsString());
    CHECK(expect_value(read_onnx_tensor(path)) == expected);
  }
  SECTION("INT32 in the typed field") {
    onnx::TensorProto tensor = integer_tensor(onnx::TensorProto::INT32, 4, {2, 2}, {});
    for (const std::int64_t value : {std::int64_t{0}, std::int64_t{-1}, lowest, highest}) {
      tensor.add_int32_data(static_cast<std::int32_t>(value));
    }
    tensor.clear_raw_data();
    write_bytes(path, tensor.SerializeAsString());
    CHECK(expect_value(read_onnx_tensor(path)) == expected);
  }
  SECTION("INT64 in raw_data, narrowed") {
    write_bytes(path, integer_tensor(onnx::TensorProto::INT64, 8, {2, 2}, {0, -1, lowest, highest})
                          .SerializeAsString());
    CHECK(expect_value(read_onnx_tensor(path)) == expected);
  }
  SECTION("INT64 beyond 32 bits, in raw_data and in the typed field") {
    write_bytes(path, integer_tensor(onnx::TensorProto::INT64, 8, {4}, {0, 1, 2, highest + 1})
                          .SerializeAsString());
    CHECK(expect_error(read_onnx_tensor(path)).message ==
          path.string() + ": value 2147483648 at index 3 does not fit int32");
    onnx::TensorProto tensor = integer_tensor(onnx::TensorProto::INT64, 8, {2}, {});
    tensor.add_int64_data(lowest - 1);
    tensor.add_int64_data(std::int64_t{1} << 40);
    tensor.clear_raw_data();
    CHECK(expect_error(parse_onnx_tensor(tensor.SerializeAsString())).message ==
          "value -2147483649 at index 0 does not fit int32");
  }
}

TEST_CASE("tensor files are read with their name and shape", "[onnx]") {
  const ScratchDirectory scratch;
  const std::filesystem::path path = scratch / "input_0.pb";
  SECTION("float32 in raw_data") {
    write_bytes(path, float_tensor("x", {2, 1}, {1.5F, -2.0F}).SerializeAsString());
    CHECK(expect_value(read_onnx_tensor(path)) == OnnxTensor{"x", {2, 1}, {1.5F, -2.0F}});
  }
  SECTION("float32 in the typed field, a scalar") {
    onnx::TensorProto tensor;
    tensor.set_data_type(onnx::TensorProto::FLOAT);
    tensor.add_float_data(4.0F);
    write_bytes(path, tensor.SerializeAsString());
    CHECK(expect_value(read_onnx_tensor(path)) == OnnxTensor{"", {}, {4.0F}});
  }
  SECTION("another data type") {
    onnx::TensorProto tensor;
    tensor.set_data_type(onnx::TensorProto::DOUBLE);
    write_bytes(path, tensor.SerializeAsString());
    CHECK(expect_error(read_onnx_tensor(path)).message ==
          path.string() +
              ": tensor has data type DOUBLE; only FLOAT (float32), INT32 and INT64 are supported");
  }
  SECTION("fewer values than the shape") {
    onnx::TensorProto tensor = float_tensor("x", {3}, {1.0F, 2.0F, 3.0F});
    tensor.clear_raw_data();
    tensor.add_float_data(1.0F);
    write_bytes(path, tensor.SerializeAsString());
    CHECK(expect_error(read_onnx_tensor(path)).message ==
          path.string() + ": holds 1 values, the shape needs 3");
  }
  SECTION("a negative dimension") {
    write_bytes(path, float_tensor("x", {-1}, {}).SerializeAsString());
    CHECK(expect_error(read_onnx_tensor(path)).message ==
          path.string() + ": dimension 0 is negative (-1)");
  }
}

} // namespace
} // namespace orvik_compiler::testing
