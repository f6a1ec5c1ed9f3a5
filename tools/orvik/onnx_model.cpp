// ONNX models in the tool.

#include "onnx_model.hpp"

#include <charconv>

namespace orvik_tool {
namespace {

/// The import options of the --dim options.
ToolResult<orvik_compiler::OnnxImportOptions> import_options(const std::vector<std::string>& dims) {
  orvik_compiler::OnnxImportOptions options;
  for (const std::string& dim : dims) {
    const std::size_t equals = dim.find('=');
    std::uint64_t extent = 0;
    bool valid = equals != std::string::npos && equals > 0;
    if (valid) {
      const char* last = dim.data() + dim.size();
      const auto [end, error] = std::from_chars(dim.data() + equals + 1, last, extent);
      valid = error == std::errc{} && end == last && extent > 0;
    }
    if (!valid) {
      return tool_error(exit_usage_error,
                        "--dim " + dim + " is not NAME=N with N a positive decimal number");
    }
    if (!options.dimensions.emplace(dim.substr(0, equals), extent).second) {
      return tool_error(exit_usage_error, "--dim gives " + dim.substr(0, equals) + " twice");
    }
  }
  return options;
}

} // namespace

bool is_onnx_model(std::string_view path) {
  constexpr std::string_view extension = ".onnx";
  return path.size() > extension.size() && path.ends_with(extension);
}

ToolResult<orvik_compiler::OnnxModel> import_model(const std::string& path,
                                                   const std::vector<std::string>& dims) {
  const ToolResult<orvik_compiler::OnnxImportOptions> options = import_options(dims);
  if (!options) {
    return options.failure();
  }
  orvik_compiler::Result<orvik_compiler::OnnxModel> model =
      orvik_compiler::import_onnx(path, *options);
  if (!model) {
    return ToolFailure{exit_usage_error, model.error().message};
  }
  return std::move(*model);
}

} // namespace orvik_tool
