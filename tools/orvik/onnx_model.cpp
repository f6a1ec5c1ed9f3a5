// ONNX models in the tool.

#include "onnx_model.hpp"

#include <cctype>
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

/// The importer's `message` about the model at `path` as the tool reports it: a file that cannot
/// be read like every other input, "cannot read PATH: REASON" with the reason lower-case; any
/// other message as it is, after the tool's prefix.
ToolFailure import_failure(const std::string& path, const std::string& message) {
  const std::string unreadable = path + ": cannot read: ";
  if (!message.starts_with(unreadable)) {
    return tool_error(exit_usage_error, message);
  }
  std::string reason = message.substr(unreadable.size());
  if (!reason.empty()) {
    reason.front() = static_cast<char>(std::tolower(static_cast<unsigned char>(reason.front())));
  }
  return tool_error(exit_usage_error, "cannot read " + path + ": " + reason);
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
    return import_failure(path, model.error().message);
  }
  return std::move(*model);
}

} // namespace orvik_tool
