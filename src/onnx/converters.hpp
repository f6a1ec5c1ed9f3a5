#pragma once

// The converter table: one small function per supported ONNX operator and since-version (the
// operator set version from which its definition holds), chosen by the model's default-domain
// operator set, and the one place that refuses an operator without a converter.

#include "conversion.hpp"

#include <cstdint>
#include <string_view>

namespace orvik_compiler::onnx_import {

/// Converts one node: appends its operations to the graph and defines its outputs.
using Converter = Result<void> (*)(Conversion& conversion, const Node& node);

/// The converter of the default-domain operator `op_type` in a model of operator set `opset`:
/// the one of the newest since-version not above `opset`. nullptr when the operator has no
/// converter, or only converters of since-versions above `opset`.
Converter find_converter(std::string_view op_type, std::int64_t opset);

/// "node 7 "name" (Op): unsupported operator", the refusal of an operator without a converter.
CompileError unsupported_operator(const Node& node);

/// Converts the node by the converter `find_converter` chooses at the conversion's operator
/// set. A node of another domain, or of an operator it finds no converter for, is refused with
/// `unsupported_operator`.
Result<void> convert_node(Conversion& conversion, const Node& node);

} // namespace orvik_compiler::onnx_import
