// Building ONNX models in code.

#include "testing/onnx/model_builder.hpp"

#include <onnx/shape_inference/implementation.h>

#include <fstream>
#include <stdexcept>

namespace orvik_compiler::testing {

ModelBuilder::ModelBuilder(std::int64_t opset) {
  model_.set_ir_version(8);
  model_.set_producer_name("orvik tests");
  onnx::OperatorSetIdProto* set = model_.add_opset_import();
  set->set_domain("");
  set->set_version(opset);
  model_.mutable_graph()->set_name("graph");
}

namespace {

void set_shape(onnx::TypeProto::Tensor& type, const std::vector<Extent>& shape) {
  onnx::TensorShapeProto* dims = type.mutable_shape();
  for (const Extent& extent : shape) {
    onnx::TensorShapeProto::Dimension* dimension = dims->add_dim();
    if (const auto* value = std::get_if<std::int64_t>(&extent)) {
      dimension->set_dim_value(*value);
    } else {
      dimension->set_dim_param(std::get<std::string>(extent));
    }
  }
}

/// The shape shape inference finds for the value `name` of the model, if it finds one. The
/// copy it works on keeps every initializer's values: inference reads some of them (a `Range`'s
/// bounds) and crashes on a tensor whose data is missing.
std::optional<onnx::TensorShapeProto> inferred_shape(const onnx::ModelProto& model,
                                                     const std::string& name) {
  onnx::ModelProto copy = model;
  try {
    onnx::shape_inference::InferShapes(copy);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  for (const onnx::ValueInfoProto& info : copy.graph().value_info()) {
    if (info.name() == name && info.type().tensor_type().has_shape()) {
      return info.type().tensor_type().shape();
    }
  }
  for (const onnx::ValueInfoProto& info : copy.graph().input()) {
    if (info.name() == name && info.type().tensor_type().has_shape()) {
      return info.type().tensor_type().shape();
    }
  }
  for (const onnx::TensorProto& initializer : copy.graph().initializer()) {
    if (initializer.name() == name) {
      onnx::TensorShapeProto shape;
      for (const std::int64_t extent : initializer.dims()) {
        shape.add_dim()->set_dim_value(extent);
      }
      return shape;
    }
  }
  return std::nullopt;
}

} // namespace

ModelBuilder& ModelBuilder::input(const std::string& name, const std::vector<Extent>& shape,
                                  std::int32_t data_type) {
  onnx::ValueInfoProto* input = model_.mutable_graph()->add_input();
  input->set_name(name);
  onnx::TypeProto::Tensor* type = input->mutable_type()->mutable_tensor_type();
  type->set_elem_type(data_type);
  set_shape(*type, shape);
  return *this;
}

onnx::TensorProto float_tensor(const std::string& name, const std::vector<std::int64_t>& shape,
                               const std::vector<float>& values) {
  onnx::TensorProto tensor;
  tensor.set_name(name);
  tensor.set_data_type(onnx::TensorProto::FLOAT);
  for (const std::int64_t extent : shape) {
    tensor.add_dims(extent);
  }
  tensor.set_raw_data(
      std::string(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(float)));
  return tensor;
}

ModelBuilder& ModelBuilder::initializer(const std::string& name,
                                        const std::vector<std::int64_t>& shape,
                                        const std::vector<float>& values) {
  *model_.mutable_graph()->add_initializer() = float_tensor(name, shape, values);
  return *this;
}

ModelBuilder& ModelBuilder::integers(const std::string& name,
                                     const std::vector<std::int64_t>& shape,
                                     const std::vector<std::int64_t>& values) {
  onnx::TensorProto* tensor = model_.mutable_graph()->add_initializer();
  tensor->set_name(name);
  tensor->set_data_type(onnx::TensorProto::INT64);
  for (const std::int64_t extent : shape) {
    tensor->add_dims(extent);
  }
  for (const std::int64_t value : values) {
    tensor->add_int64_data(value);
  }
  return *this;
}

ModelBuilder& ModelBuilder::constant(const std::string& name,
                                     const std::vector<std::int64_t>& shape,
                                     const std::vector<float>& values) {
  onnx::NodeProto& constant = node("Constant", {}, {name});
  onnx::AttributeProto* value = constant.add_attribute();
  value->set_name("value");
  value->set_type(onnx::AttributeProto::TENSOR);
  *value->mutable_t() = float_tensor("", shape, values);
  return *this;
}

onnx::NodeProto& ModelBuilder::node(const std::string& op_type,
                                    std::initializer_list<std::string> inputs,
                                    std::initializer_list<std::string> outputs,
                                    const std::string& name) {
  onnx::NodeProto* node = model_.mutable_graph()->add_node();
  node->set_op_type(op_type);
  node->set_name(name);
  for (const std::string& input : inputs) {
    node->add_input(input);
  }
  for (const std::string& output : outputs) {
    node->add_output(output);
  }
  return *node;
}

ModelBuilder& ModelBuilder::output(const std::string& name, std::int32_t data_type,
                                   const std::optional<std::vector<Extent>>& shape) {
  std::optional<onnx::TensorShapeProto> found;
  if (!shape) {
    found = inferred_shape(model_, name);
  }
  onnx::ValueInfoProto* output = model_.mutable_graph()->add_output();
  output->set_name(name);
  onnx::TypeProto::Tensor* type = output->mutable_type()->mutable_tensor_type();
  type->set_elem_type(data_type);
  if (shape) {
    set_shape(*type, *shape);
  } else if (found) {
    *type->mutable_shape() = *found;
  }
  return *this;
}

std::string ModelBuilder::bytes() const {
  return model_.SerializeAsString();
}

void ModelBuilder::save(const std::filesystem::path& path) const {
  std::ofstream file(path, std::ios::binary);
  if (!model_.SerializeToOstream(&file) || !file.flush()) {
    throw std::runtime_error("cannot write " + path.string());
  }
}

void set_attribute(onnx::NodeProto& node, const std::string& name, std::int64_t value) {
  onnx::AttributeProto* attribute = node.add_attribute();
  attribute->set_name(name);
  attribute->set_type(onnx::AttributeProto::INT);
  attribute->set_i(value);
}

void set_attribute(onnx::NodeProto& node, const std::string& name, float value) {
  onnx::AttributeProto* attribute = node.add_attribute();
  attribute->set_name(name);
  attribute->set_type(onnx::AttributeProto::FLOAT);
  attribute->set_f(value);
}

void set_attribute(onnx::NodeProto& node, const std::string& name,
                   const std::vector<std::int64_t>& values) {
  onnx::AttributeProto* attribute = node.add_attribute();
  attribute->set_name(name);
  attribute->set_type(onnx::AttributeProto::INTS);
  for (const std::int64_t value : values) {
    attribute->add_ints(value);
  }
}

void set_attribute(onnx::NodeProto& node, const std::string& name, const std::string& value) {
  onnx::AttributeProto* attribute = node.add_attribute();
  attribute->set_name(name);
  attribute->set_type(onnx::AttributeProto::STRING);
  attribute->set_s(value);
}

} // namespace orvik_compiler::testing
