#pragma once

// Building ONNX models in code, for the importer's tests, its fuzzer's seeds and the import
// benchmark.

#include <onnx/onnx_pb.h>

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace orvik_compiler::testing {

/// An extent of an input: a number, or a symbolic dimension's name.
using Extent = std::variant<std::int64_t, std::string>;

/// A model of one graph, made step by step. Nodes get no name unless given one.
class ModelBuilder {
public:
  explicit ModelBuilder(std::int64_t opset = 17);

  ModelBuilder& input(const std::string& name, const std::vector<Extent>& shape,
                      std::int32_t data_type = onnx::TensorProto::FLOAT);
  ModelBuilder& initializer(const std::string& name, const std::vector<std::int64_t>& shape,
                            const std::vector<float>& values);
  ModelBuilder& integers(const std::string& name, const std::vector<std::int64_t>& shape,
                         const std::vector<std::int64_t>& values);
  /// A `Constant` node holding a float32 tensor.
  ModelBuilder& constant(const std::string& name, const std::vector<std::int64_t>& shape,
                         const std::vector<float>& values);
  /// Appends a node and returns it, for attributes.
  onnx::NodeProto& node(const std::string& op_type, std::initializer_list<std::string> inputs,
                        std::initializer_list<std::string> outputs, const std::string& name = "");
  /// Declares an output of the given shape, or, without one, of the shape ONNX's shape
  /// inference finds for it (none when it finds none), as exporters write them.
  ModelBuilder& output(const std::string& name, std::int32_t data_type = onnx::TensorProto::FLOAT,
                       const std::optional<std::vector<Extent>>& shape = std::nullopt);

  onnx::ModelProto& model() { return model_; }
  /// The model serialised.
  std::string bytes() const;
  /// Writes the model to `path`.
  void save(const std::filesystem::path& path) const;

private:
  onnx::ModelProto model_;
};

void set_attribute(onnx::NodeProto& node, const std::string& name, std::int64_t value);
void set_attribute(onnx::NodeProto& node, const std::string& name, float value);
void set_attribute(onnx::NodeProto& node, const std::string& name,
                   const std::vector<std::int64_t>& values);
void set_attribute(onnx::NodeProto& node, const std::string& name, const std::string& value);

/// A float32 tensor with its values in `raw_data`, little-endian.
onnx::TensorProto float_tensor(const std::string& name, const std::vector<std::int64_t>& shape,
                               const std::vector<float>& values);

} // namespace orvik_compiler::testing
