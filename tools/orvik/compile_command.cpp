// `orvik compile`: the graph compiled, within the memory budget, and the schedule written in
// each form asked for.

#include "commands.hpp"

#include "command_options.hpp"
#include "graph_file.hpp"
#include "graph_source.hpp"
#include "input_file.hpp"
#include "output_files.hpp"
#include "report.hpp"
#include "resource_budget.hpp"
#include "views.hpp"

#include <orvik_compiler/orvik_compiler.hpp>

#include <limits>
#include <memory>
#include <sstream>
#include <utility>

namespace orvik_tool {
namespace {

using orvik_compiler::Graph;

struct CompileOptions {
  GraphSource source;
  orvik_compiler::CompilerOptions options;
  std::string emit = "summary";
  std::string output = "-";
  /// Whether -o was given, "-o -" included.
  bool output_given = false;
  std::string trace;
  std::string memory_map;
  std::uint16_t tile = 0;
  std::string report;
  std::uint64_t max_input_bytes = default_max_input_bytes;
  std::uint64_t memory_budget = default_memory_budget;
};

/// What the report's header calls the graph: the encoder with its dimensions, or the file.
std::string source_name(const CompileOptions& command) {
  if (!command.source.encoder.requested) {
    return input_name(command.source.path);
  }
  const orvik_compiler::EncoderConfig& config = command.source.encoder.config;
  return "built-in encoder (sequence " + std::to_string(config.sequence) + ", hidden " +
         std::to_string(config.hidden) + ", heads " + std::to_string(config.heads) +
         ", feed-forward " + std::to_string(config.feed_forward) + ")";
}

/// What the command would build, estimated before any of it is.
std::vector<MemoryUse> memory_uses(const Graph& graph, const CompileOptions& command) {
  const MemoryEstimate estimate(graph, command.options);
  std::vector<MemoryUse> uses{{"graph", graph_memory(graph)}, {"schedule", estimate.schedule()}};
  const std::uint64_t text = command.emit == "debug"  ? estimate.debug_text()
                             : command.emit == "json" ? estimate.json()
                                                      : estimate.summary();
  uses.push_back({"--emit " + command.emit, text});
  if (!command.trace.empty()) {
    uses.push_back({"--trace", estimate.trace()});
  }
  if (!command.memory_map.empty()) {
    uses.push_back({"--memory-map", estimate.memory_map(command.tile)});
  }
  if (!command.report.empty()) {
    uses.push_back({"--report", estimate.report(source_name(command))});
  }
  return uses;
}

/// With no -o, the schedule's view is written to standard output; an output that also names
/// standard output is refused with the way out, not with an -o - that the user never wrote. Two
/// such outputs are left to the general check, which names both.
ToolResult<void> check_standard_output(const CompileOptions& command) {
  if (command.output_given) {
    return {};
  }
  const std::pair<const char*, const std::string*> outputs[] = {
      {"--trace", &command.trace},
      {"--memory-map", &command.memory_map},
      {"--report", &command.report}};
  const char* on_standard_output = nullptr;
  for (const auto& [option, path] : outputs) {
    if (*path != "-") {
      continue;
    }
    if (on_standard_output != nullptr) {
      return {};
    }
    on_standard_output = option;
  }
  if (on_standard_output == nullptr) {
    return {};
  }
  const std::string view = command.emit == "debug"  ? "debug text"
                           : command.emit == "json" ? "JSON"
                                                    : "summary";
  return tool_error(exit_usage_error, std::string(on_standard_output) + " - and the schedule " +
                                          view + " both write standard output; -o FILE moves the " +
                                          view);
}

ToolResult<void> compile(const CompileOptions& command) {
  const ToolResult<Graph> loaded =
      load_graph(command.source, {command.max_input_bytes, command.memory_budget});
  if (!loaded) {
    return loaded.failure();
  }
  const Graph& graph = *loaded;
  // `compile` validates the graph too; the estimate needs a valid one, and an invalid graph
  // keeps its own message.
  if (const orvik_compiler::Result<void> valid = graph.validate(); !valid) {
    return tool_error(exit_compile_error, valid.error().message);
  }
  if (const ToolResult<void> fits =
          check_memory_budget(memory_uses(graph, command), command.memory_budget);
      !fits) {
    return fits;
  }
  orvik_compiler::Result<orvik_compiler::Schedule> schedule =
      orvik_compiler::compile(graph, command.options);
  if (!schedule) {
    return tool_error(exit_compile_error,
                      explain_refused_options(schedule.error().message, command.options));
  }
  // Checked once the options are known to be valid, so invalid options report themselves.
  if (!command.memory_map.empty() && command.tile >= command.options.tile_count) {
    return tool_error(exit_usage_error,
                      "--tile " + std::to_string(command.tile) + " is not a tile of the " +
                          std::to_string(command.options.tile_count) + "-tile target");
  }
  std::vector<OutputFile> files;
  if (!command.trace.empty()) {
    files.push_back({command.trace, chrome_trace(graph, *schedule), "--trace"});
  }
  if (!command.memory_map.empty()) {
    files.push_back({command.memory_map,
                     memory_map_svg(graph, command.options, *schedule, command.tile),
                     "--memory-map"});
  }
  if (!command.report.empty()) {
    files.push_back({command.report,
                     schedule_report_html(source_name(command), graph, command.options, *schedule),
                     "--report"});
  }
  std::string text;
  if (command.emit == "debug") {
    std::ostringstream debug;
    debug << *schedule << '\n';
    text = std::move(debug).str();
  } else if (command.emit == "json") {
    text = schedule_json(*schedule);
  } else {
    text = summary_report(graph, command.options, *schedule);
  }
  if (const ToolResult<void> shared = check_standard_output(command); !shared) {
    return shared;
  }
  files.push_back({command.output, std::move(text), "-o"});
  return write_all_or_nothing(files, source_files(command.source));
}

} // namespace

Command add_compile_command(CLI::App& app) {
  const auto options = std::make_shared<CompileOptions>();
  CLI::App* command =
      app.add_subcommand("compile", "compile a graph file, an ONNX model or the built-in encoder");
  add_graph_source(*command, "what to compile", options->source)->check(non_empty_path());
  add_target_options(*command, options->options);
  add_dim_option(*command, options->source.dims);
  command->add_option("--emit", options->emit, "what to write")
      ->check(CLI::IsMember({"summary", "debug", "json"}))
      ->capture_default_str();
  const CLI::Option* output = add_output_option(*command, options->output);
  command->add_option("--trace", options->trace, "write a trace event file, - for standard output")
      ->check(non_empty_path());
  CLI::Option* memory_map =
      command
          ->add_option("--memory-map", options->memory_map,
                       "write an SVG picture of one tile's memory, - for standard output")
          ->check(non_empty_path());
  command->add_option("--tile", options->tile, "the tile of the memory picture")
      ->transform(number_up_to(std::numeric_limits<std::uint16_t>::max()))
      ->capture_default_str()
      ->needs(memory_map);
  command
      ->add_option("--report", options->report,
                   "write an interactive HTML report of the schedule, - for standard output")
      ->check(non_empty_path());
  add_max_input_bytes_option(*command, options->max_input_bytes,
                             "read at most this many bytes of the graph file");
  add_memory_budget_option(*command, options->memory_budget);
  return {command, [options, output] {
            options->output_given = output->count() > 0;
            return exit_status(compile(*options));
          }};
}

} // namespace orvik_tool
