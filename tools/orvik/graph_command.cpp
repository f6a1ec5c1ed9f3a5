// `orvik graph`: the built-in encoder written as a graph file.

#include "commands.hpp"

#include "command_options.hpp"
#include "graph_source.hpp"

#include <memory>

namespace orvik_tool {
namespace {

struct GraphOptions {
  GraphSource source;
  std::string output = "-";
};

} // namespace

Command add_graph_command(CLI::App& app) {
  const auto options = std::make_shared<GraphOptions>();
  CLI::App* command = app.add_subcommand("graph", "write the built-in encoder as a graph file");
  add_encoder_options(*command, *command, options->source.encoder)->required();
  add_output_option(*command, options->output);
  return {command,
          [options] { return exit_status(write_graph(options->source, options->output)); }};
}

} // namespace orvik_tool
