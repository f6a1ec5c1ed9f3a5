#pragma once

// ONNX models in the tool: recognising a model file, the --dim options, and the import.

#include "tool_failure.hpp"

#include <orvik_compiler/onnx.hpp>

#include <string>
#include <string_view>
#include <vector>

namespace orvik_tool {

/// Whether the path names an ONNX model rather than a graph file: it ends in ".onnx".
bool is_onnx_model(std::string_view path);

/// Imports the model at `path` with the --dim options, each NAME=N with N a positive decimal
/// number giving the symbolic dimension NAME its extent. A malformed --dim, or a NAME given
/// twice, is a usage error; a model that cannot be imported fails with the usage status too and
/// the importer's message, which starts with the path, after the tool's prefix; a model file
/// that cannot be read reports that as every input does: "cannot read PATH: REASON".
ToolResult<orvik_compiler::OnnxModel> import_model(const std::string& path,
                                                   const std::vector<std::string>& dims);

} // namespace orvik_tool
