// `orvik verify`: a schedule JSON file checked against the graph it was compiled from.

#include "commands.hpp"

#include "command_options.hpp"
#include "graph_source.hpp"
#include "input_file.hpp"
#include "output_files.hpp"
#include "schedule_io/schedule_reader.hpp"

#include <orvik_compiler/verify_schedule.hpp>

#include <memory>

namespace orvik_tool {
namespace {

struct VerifyOptions {
  std::string schedule_path;
  GraphSource source;
  orvik_compiler::CompilerOptions options;
  std::uint64_t max_input_bytes = default_max_input_bytes;
  std::uint64_t memory_budget = default_memory_budget;
};

/// Whether the schedule is sound, once "ok" or the first broken rule is written.
ToolResult<bool> verify(const VerifyOptions& command) {
  const ToolResult<std::string> text =
      read_input_file(command.schedule_path, command.max_input_bytes);
  if (!text) {
    return text.failure();
  }
  const orvik_compiler::Result<orvik_compiler::Schedule> schedule =
      orvik_compiler::schedule_io::read_schedule_json(*text, input_name(command.schedule_path));
  if (!schedule) {
    return ToolFailure{exit_usage_error, schedule.error().message};
  }
  const ToolResult<orvik_compiler::Graph> graph =
      load_graph(command.source, {command.max_input_bytes, command.memory_budget});
  if (!graph) {
    return graph.failure();
  }
  const orvik_compiler::Result<void> verdict =
      orvik_compiler::verify_schedule(*graph, command.options, *schedule);
  const std::string line =
      verdict ? "ok" : explain_refused_options(verdict.error().message, command.options);
  const ToolResult<void> written = write_all_or_nothing({{"-", line + "\n", "-"}});
  if (!written) {
    return written.failure();
  }
  return verdict.has_value();
}

/// Prints "ok" for a sound schedule and exits 0, and otherwise prints the first broken rule and
/// exits with the compile status.
int run_verify(const VerifyOptions& command) {
  const ToolResult<bool> sound = verify(command);
  if (!sound) {
    return exit_with(sound.failure());
  }
  return *sound ? exit_success : exit_compile_error;
}

} // namespace

Command add_verify_command(CLI::App& app) {
  const auto options = std::make_shared<VerifyOptions>();
  CLI::App* command = app.add_subcommand(
      "verify", "check a schedule JSON file against its graph and the target's options");
  command
      ->add_option("SCHEDULE", options->schedule_path,
                   "schedule JSON (--emit json), - for standard input")
      ->required();
  add_graph_source(*command, "the graph the schedule was compiled from", options->source);
  add_target_options(*command, options->options);
  add_dim_option(*command, options->source.dims);
  add_max_input_bytes_option(*command, options->max_input_bytes,
                             "read at most this many bytes of each input file");
  add_memory_budget_option(*command, options->memory_budget);
  return {command, [options] { return run_verify(*options); }};
}

} // namespace orvik_tool
