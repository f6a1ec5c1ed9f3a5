#pragma once

// The converter table: one small function per supported ONNX operator, looked up by the
// operator's name.

#include "conversion.hpp"

#include <string_view>

namespace orvik_compiler::onnx_import {

/// Converts one node: appends its operations to the graph and defines its outputs.
using Converter = Result<void> (*)(Conversion& conversion, const Node& node);

/// The converter of an operator of ONNX's default domain ("" or "ai.onnx"), or nullptr when the
/// operator is not supported.
Converter find_converter(std::string_view domain, std::string_view op_type);

} // namespace orvik_compiler::onnx_import
