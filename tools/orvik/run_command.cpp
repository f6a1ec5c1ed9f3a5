// `orvik run`: the graph evaluated on the host and its outputs written as .npy files.

#include "commands.hpp"

#include "command_options.hpp"
#include "graph_source.hpp"
#include "onnx_model.hpp"
#include "run_graph.hpp"

#include <memory>

namespace orvik_tool {
namespace {

struct RunOptions {
  GraphSource source;
  RunRequest request;
};

/// Evaluates `graph` as `request` asks and writes the files, none over a file the command reads.
ToolResult<void> evaluate_graph(const RunOptions& command, const orvik_compiler::Graph& graph,
                                const RunRequest& request) {
  const ToolResult<RunFiles> files = run_graph(graph, request);
  if (!files) {
    return files.failure();
  }
  std::vector<InputFile> inputs = source_files(command.source);
  inputs.insert(inputs.end(), files->inputs.begin(), files->inputs.end());
  // A missing -o DIR is made, one level deep, once nothing else stands in the way.
  return write_all_or_nothing(files->outputs, inputs, request.directory);
}

ToolResult<void> run(const RunOptions& command) {
  RunRequest request = command.request;
  const GraphSource& source = command.source;
  if (source.encoder.requested) {
    request.encoder = source.encoder.config;
  }
  if (!source.encoder.requested && is_onnx_model(source.path)) {
    // An ONNX model brings its weights, bound from the imported model.
    const ToolResult<orvik_compiler::OnnxModel> model = import_model(source.path, source.dims);
    if (!model) {
      return model.failure();
    }
    for (const orvik_compiler::WeightValues& weight : model->weights) {
      request.values.push_back(weight.binding());
    }
    return evaluate_graph(command, model->graph, request);
  }
  const ToolResult<orvik_compiler::Graph> loaded =
      load_graph(source, {command.request.max_input_bytes, command.request.memory_budget});
  if (!loaded) {
    return loaded.failure();
  }
  return evaluate_graph(command, *loaded, request);
}

} // namespace

Command add_run_command(CLI::App& app) {
  const auto options = std::make_shared<RunOptions>();
  CLI::App* command = app.add_subcommand(
      "run", "evaluate a graph file, an ONNX model or the built-in encoder on the host");
  add_graph_source(*command, "what to evaluate", options->source)->check(non_empty_path());
  command
      ->add_option("--input", options->request.inputs,
                   "bind the tensor called NAME to the values of a .npy or ONNX tensor (.pb) "
                   "file; repeatable")
      ->type_name("NAME=FILE")
      ->allow_extra_args(false);
  add_dim_option(*command, options->source.dims);
  command
      ->add_option("-o,--output", options->request.directory, "write each output as DIR/NAME.npy")
      ->type_name("DIR")
      ->check(non_empty_path())
      ->capture_default_str();
  add_max_input_bytes_option(
      *command, options->request.max_input_bytes,
      "read at most this many bytes of the graph file and of each value file");
  add_memory_budget_option(*command, options->request.memory_budget);
  return {command, [options] { return exit_status(run(*options)); }};
}

} // namespace orvik_tool
