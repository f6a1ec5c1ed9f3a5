// `orvik import`: an ONNX model written as a graph file.

#include "commands.hpp"

#include "command_options.hpp"
#include "graph_source.hpp"
#include "onnx_model.hpp"

#include <memory>

namespace orvik_tool {
namespace {

struct ImportOptions {
  GraphSource source;
  std::string output = "-";
};

ToolResult<void> import(const ImportOptions& command) {
  if (!is_onnx_model(command.source.path)) {
    return tool_error(exit_usage_error, command.source.path + " is not an ONNX model (.onnx)");
  }
  return write_graph(command.source, command.output);
}

} // namespace

Command add_import_command(CLI::App& app) {
  const auto options = std::make_shared<ImportOptions>();
  CLI::App* command = app.add_subcommand("import", "write an ONNX model as a graph file");
  command->add_option("MODEL", options->source.path, "ONNX model (.onnx)")
      ->required()
      ->check(non_empty_path());
  add_dim_option(*command, options->source.dims);
  add_output_option(*command, options->output);
  return {command, [options] { return exit_status(import(*options)); }};
}

} // namespace orvik_tool
