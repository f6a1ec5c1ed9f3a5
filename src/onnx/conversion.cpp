// What every step of a conversion shares.

#include "conversion.hpp"

#include "tensor_data.hpp"

namespace orvik_compiler::onnx_import {

bool is_default_domain(std::string_view domain) {
  return domain.empty() || domain == "ai.onnx";
}

CompileError node_error(const Node& node, std::string_view what) {
  return CompileError::graph("node " + std::to_string(node.position) + " \"" + node.proto.name() +
                             "\" (" + std::string(node.op_label) + "): " + std::string(what));
}

std::string fresh_name(Conversion& conversion, const std::string& base) {
  if (conversion.names.insert(base).second) {
    return base;
  }
  std::uint64_t& next = conversion.next_suffix.try_emplace(base, 2).first->second;
  for (;; ++next) {
    std::string name = base + "_" + std::to_string(next);
    if (conversion.names.insert(name).second) {
      ++next;
      return name;
    }
  }
}

Result<TensorId> built(Conversion& conversion, const Node& node, Result<TensorId> result) {
  if (!result) {
    return node_error(node, result.error().message);
  }
  const std::vector<std::uint64_t>& shape = conversion.graph().tensors[result->index].shape;
  if (!element_count(shape)) {
    return node_error(node, "the result's shape " + shape_text(shape) + " has too many elements");
  }
  return result;
}

} // namespace orvik_compiler::onnx_import
