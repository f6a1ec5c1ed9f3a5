// A node's attributes.

#include "attributes.hpp"

#include <string>

namespace orvik_compiler::onnx_import {
namespace {

/// Whether the attribute holds the type; attributes of old models may leave `type` unset.
bool attribute_is(const onnx::AttributeProto& found, onnx::AttributeProto::AttributeType type,
                  bool field_set) {
  return found.type() == type || (found.type() == onnx::AttributeProto::UNDEFINED && field_set);
}

CompileError attribute_type_error(const Node& node, std::string_view name, std::string_view type) {
  return node_error(node, "attribute \"" + std::string(name) + "\" is not " + std::string(type));
}

} // namespace

const onnx::AttributeProto* attribute(const Node& node, std::string_view name) {
  for (const onnx::AttributeProto& candidate : node.proto.attribute()) {
    if (candidate.name() == name) {
      return &candidate;
    }
  }
  return nullptr;
}

Result<std::int64_t> int_attribute(const Node& node, std::string_view name, std::int64_t fallback) {
  const onnx::AttributeProto* found = attribute(node, name);
  if (found == nullptr) {
    return fallback;
  }
  if (!attribute_is(*found, onnx::AttributeProto::INT, found->has_i())) {
    return attribute_type_error(node, name, "an integer");
  }
  return found->i();
}

Result<float> float_attribute(const Node& node, std::string_view name, float fallback) {
  const onnx::AttributeProto* found = attribute(node, name);
  if (found == nullptr) {
    return fallback;
  }
  if (!attribute_is(*found, onnx::AttributeProto::FLOAT, found->has_f())) {
    return attribute_type_error(node, name, "a float");
  }
  return found->f();
}

Result<std::string> string_attribute(const Node& node, std::string_view name,
                                     std::string_view fallback) {
  const onnx::AttributeProto* found = attribute(node, name);
  if (found == nullptr) {
    return std::string(fallback);
  }
  if (!attribute_is(*found, onnx::AttributeProto::STRING, found->has_s())) {
    return attribute_type_error(node, name, "a string");
  }
  return found->s();
}

Result<std::optional<std::vector<std::int64_t>>> ints_attribute(const Node& node,
                                                                std::string_view name) {
  const onnx::AttributeProto* found = attribute(node, name);
  if (found == nullptr) {
    return std::optional<std::vector<std::int64_t>>{};
  }
  if (!attribute_is(*found, onnx::AttributeProto::INTS, found->ints_size() > 0)) {
    return attribute_type_error(node, name, "a list of integers");
  }
  return std::optional<std::vector<std::int64_t>>(
      std::vector<std::int64_t>(found->ints().begin(), found->ints().end()));
}

std::string ints_text(const std::vector<std::int64_t>& values) {
  std::string text = "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    text += (i == 0 ? "" : ", ") + std::to_string(values[i]);
  }
  return text + "]";
}

Result<std::uint64_t> normalised_axis(const Node& node, std::int64_t axis, std::uint64_t rank,
                                      std::string_view what) {
  const auto signed_rank = static_cast<std::int64_t>(rank);
  if (axis < -signed_rank || axis >= signed_rank) {
    return node_error(node, std::string(what) + " " + std::to_string(axis) +
                                " is out of range for rank " + std::to_string(rank));
  }
  return static_cast<std::uint64_t>(axis < 0 ? axis + signed_rank : axis);
}

} // namespace orvik_compiler::onnx_import
