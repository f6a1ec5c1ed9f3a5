// The orvik command-line tool: compiles the built-in encoder or a graph file and shows the
// schedule as a report, its debug text or JSON, with an optional trace, memory picture and
// interactive HTML report; or evaluates one on the host.
//
// Exit status: 0 on success, 1 when the graph does not compile or evaluate, 2 for a usage error
// or a bad graph or value file.

#include "graph_file.hpp"
#include "output_files.hpp"
#include "report.hpp"
#include "run_command.hpp"
#include "tool_failure.hpp"
#include "views.hpp"

#include <orvik_compiler/orvik_compiler.hpp>

#include <CLI/CLI.hpp>

#include <charconv>
#include <fstream>
#include <iostream>
#include <iterator>
#include <limits>
#include <optional>
#include <sstream>

namespace {

using orvik_compiler::CompilerOptions;
using orvik_compiler::EncoderConfig;
using orvik_compiler::Graph;
using orvik_tool::exit_compile_error;
using orvik_tool::exit_success;
using orvik_tool::exit_usage_error;
using orvik_tool::tool_error;
using orvik_tool::ToolFailure;
using orvik_tool::ToolResult;

/// Accepts a decimal or 0x-hexadecimal number up to `max` and rewrites it in decimal, the only
/// form the option parser then has to read.
CLI::Validator number_up_to(std::uint64_t max) {
  return CLI::Validator(
      [max](std::string& text) -> std::string {
        const bool hexadecimal =
            text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
        const char* first = text.data() + (hexadecimal ? 2 : 0);
        const char* last = text.data() + text.size();
        std::uint64_t value = 0;
        const auto [end, error] = std::from_chars(first, last, value, hexadecimal ? 16 : 10);
        if (text.empty() || error != std::errc{} || end != last) {
          return "'" + text + "' is not a decimal or 0x-hexadecimal number";
        }
        if (value > max) {
          return text + " is more than the largest allowed value " + std::to_string(max);
        }
        text = std::to_string(value);
        return {};
      },
      "NUMBER");
}

struct EncoderOptions {
  bool requested = false;
  EncoderConfig config;
};

/// The encoder's flag and its four dimensions, shared by the subcommands.
CLI::Option* add_encoder_options(CLI::App& command, CLI::App& flag_owner, EncoderOptions& encoder) {
  CLI::Option* flag =
      flag_owner.add_flag("--encoder", encoder.requested, "use the built-in encoder layer");
  EncoderConfig& config = encoder.config;
  struct Dimension {
    const char* name;
    std::uint64_t* value;
    const char* description;
  };
  const Dimension dimensions[] = {
      {"--sequence", &config.sequence, "encoder tokens"},
      {"--hidden", &config.hidden, "encoder model width"},
      {"--heads", &config.heads, "encoder attention heads"},
      {"--feed-forward", &config.feed_forward, "encoder feed-forward width"}};
  for (const auto& [name, value, description] : dimensions) {
    command.add_option(name, *value, description)
        ->transform(number_up_to(std::numeric_limits<std::uint64_t>::max()))
        ->capture_default_str()
        ->needs(flag);
  }
  return flag;
}

/// Prints the failure's message and gives its exit status.
int report(const ToolFailure& failure) {
  std::cerr << failure.message << '\n';
  return failure.exit_status;
}

/// The whole of the file at `path`, or of standard input for "-".
ToolResult<std::string> read_input(const std::string& path) {
  std::ostringstream text;
  if (path == "-") {
    text << std::cin.rdbuf();
    return text.str();
  }
  std::ifstream file(path, std::ios::binary);
  if (file) {
    text << file.rdbuf();
    if (!file.bad()) {
      return text.str();
    }
  }
  return tool_error(exit_usage_error, "cannot read " + path);
}

/// The graph to compile: the built-in encoder, or the graph file at `path`.
ToolResult<Graph> load_graph(const std::string& path, const EncoderOptions& encoder) {
  if (encoder.requested) {
    orvik_compiler::Result<Graph> graph = orvik_compiler::encoder_graph(encoder.config);
    if (!graph) {
      return tool_error(exit_compile_error, graph.error().message);
    }
    return std::move(*graph);
  }
  const ToolResult<std::string> text = read_input(path);
  if (!text) {
    return text.failure();
  }
  return orvik_tool::read_graph_file(*text, path == "-" ? "<stdin>" : path);
}

/// Writes the command's files, and its main text to standard output unless -o names a file.
int deliver(std::vector<orvik_tool::OutputFile> files, const std::string& output,
            std::string text) {
  for (std::size_t i = 0; i < files.size(); ++i) {
    for (std::size_t j = i + 1; j < files.size(); ++j) {
      if (files[i].path == files[j].path) {
        return report(tool_error(exit_usage_error, files[i].path + " is named twice"));
      }
    }
  }
  const bool to_file = !output.empty() && output != "-";
  if (to_file) {
    files.push_back({output, std::move(text)});
  }
  if (const std::optional<ToolFailure> failure = orvik_tool::write_all_or_nothing(files)) {
    return report(*failure);
  }
  if (!to_file) {
    std::cout << text << std::flush;
  }
  return exit_success;
}

struct CompileCommand {
  std::string graph_path;
  EncoderOptions encoder;
  CompilerOptions options;
  std::string emit = "summary";
  std::string output;
  std::string trace;
  std::string memory_map;
  std::uint16_t tile = 0;
  std::string report;
};

/// What the report's header calls the graph: the encoder with its dimensions, or the file.
std::string source_name(const CompileCommand& command) {
  if (!command.encoder.requested) {
    return command.graph_path == "-" ? "<stdin>" : command.graph_path;
  }
  const EncoderConfig& config = command.encoder.config;
  return "built-in encoder (sequence " + std::to_string(config.sequence) + ", hidden " +
         std::to_string(config.hidden) + ", heads " + std::to_string(config.heads) +
         ", feed-forward " + std::to_string(config.feed_forward) + ")";
}

int run_compile(const CompileCommand& command) {
  const ToolResult<Graph> loaded = load_graph(command.graph_path, command.encoder);
  if (!loaded) {
    return report(loaded.failure());
  }
  const Graph& graph = *loaded;
  orvik_compiler::Result<orvik_compiler::Schedule> schedule =
      orvik_compiler::compile(graph, command.options);
  if (!schedule) {
    return report(tool_error(exit_compile_error, schedule.error().message));
  }
  // Checked once the options are known to be valid, so invalid options report themselves.
  if (!command.memory_map.empty() && command.tile >= command.options.tile_count) {
    return report(tool_error(exit_usage_error,
                             "--tile " + std::to_string(command.tile) + " is not a tile of the " +
                                 std::to_string(command.options.tile_count) + "-tile target"));
  }
  std::string text;
  if (command.emit == "debug") {
    std::ostringstream debug;
    debug << *schedule << '\n';
    text = debug.str();
  } else if (command.emit == "json") {
    text = orvik_tool::schedule_json(*schedule);
  } else {
    text = orvik_tool::summary_report(graph, command.options, *schedule);
  }
  std::vector<orvik_tool::OutputFile> files;
  if (!command.trace.empty()) {
    files.push_back({command.trace, orvik_tool::chrome_trace(graph, *schedule)});
  }
  if (!command.memory_map.empty()) {
    files.push_back({command.memory_map,
                     orvik_tool::memory_map_svg(graph, command.options, *schedule, command.tile)});
  }
  if (!command.report.empty()) {
    files.push_back({command.report, orvik_tool::schedule_report_html(source_name(command), graph,
                                                                      command.options, *schedule)});
  }
  return deliver(std::move(files), command.output, std::move(text));
}

int run_graph(const EncoderOptions& encoder, const std::string& output) {
  const ToolResult<Graph> loaded = load_graph("", encoder);
  if (!loaded) {
    return report(loaded.failure());
  }
  ToolResult<std::string> written = orvik_tool::write_graph_file(*loaded);
  if (!written) {
    return report(written.failure());
  }
  return deliver({}, output, std::move(*written));
}

struct RunCommand {
  std::string graph_path;
  EncoderOptions encoder;
  orvik_tool::RunRequest request;
};

int run_evaluation(const RunCommand& command) {
  const ToolResult<Graph> loaded = load_graph(command.graph_path, command.encoder);
  if (!loaded) {
    return report(loaded.failure());
  }
  orvik_tool::RunRequest request = command.request;
  if (command.encoder.requested) {
    request.encoder = command.encoder.config;
  }
  const ToolResult<std::string> written = orvik_tool::run_graph(*loaded, request);
  if (!written) {
    return report(written.failure());
  }
  std::cout << *written << std::flush;
  return exit_success;
}

int run(int argc, char** argv) {
  CLI::App app{"Compiles tensor graphs for many-tile processors and shows the schedules.", "orvik"};
  app.require_subcommand(1);

  CompileCommand compile;
  CLI::App* compile_command =
      app.add_subcommand("compile", "compile a graph file or the built-in encoder");
  CLI::Option_group* source = compile_command->add_option_group("source", "what to compile");
  source->add_option("GRAPH", compile.graph_path, "graph file, - for standard input");
  add_encoder_options(*compile_command, *source, compile.encoder);
  source->require_option(1);
  compile_command->add_option("--tiles", compile.options.tile_count, "tiles of the target")
      ->transform(number_up_to(std::numeric_limits<std::uint16_t>::max()))
      ->capture_default_str();
  compile_command
      ->add_option("--data-base", compile.options.data_base,
                   "first address of each tile's data window")
      ->transform(number_up_to(std::numeric_limits<std::uint32_t>::max()))
      ->capture_default_str();
  compile_command
      ->add_option("--data-limit", compile.options.data_limit,
                   "first address past each tile's data window")
      ->transform(number_up_to(std::numeric_limits<std::uint32_t>::max()))
      ->capture_default_str();
  compile_command->add_option("--emit", compile.emit, "what to write")
      ->check(CLI::IsMember({"summary", "debug", "json"}))
      ->capture_default_str();
  compile_command->add_option("-o,--output", compile.output, "write to FILE, not standard output");
  compile_command->add_option("--trace", compile.trace, "write a trace event file");
  CLI::Option* memory_map = compile_command->add_option(
      "--memory-map", compile.memory_map, "write an SVG picture of one tile's memory");
  compile_command->add_option("--tile", compile.tile, "the tile of the memory picture")
      ->transform(number_up_to(std::numeric_limits<std::uint16_t>::max()))
      ->capture_default_str()
      ->needs(memory_map);
  compile_command->add_option("--report", compile.report,
                              "write an interactive HTML report of the schedule");

  EncoderOptions graph_encoder;
  std::string graph_output;
  CLI::App* graph_command =
      app.add_subcommand("graph", "write the built-in encoder as a graph file");
  add_encoder_options(*graph_command, *graph_command, graph_encoder)->required();
  graph_command->add_option("-o,--output", graph_output, "write to FILE, not standard output");

  RunCommand evaluation;
  CLI::App* run_command =
      app.add_subcommand("run", "evaluate a graph file or the built-in encoder on the host");
  CLI::Option_group* run_source = run_command->add_option_group("source", "what to evaluate");
  run_source->add_option("GRAPH", evaluation.graph_path, "graph file, - for standard input");
  add_encoder_options(*run_command, *run_source, evaluation.encoder);
  run_source->require_option(1);
  run_command
      ->add_option("--input", evaluation.request.inputs,
                   "bind the tensor called NAME to the values of a .npy file; repeatable")
      ->type_name("NAME=FILE")
      ->allow_extra_args(false);
  run_command
      ->add_option("-o,--output", evaluation.request.directory, "write each output as DIR/NAME.npy")
      ->type_name("DIR")
      ->capture_default_str();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? exit_success : exit_usage_error;
  }
  if (compile_command->parsed()) {
    return run_compile(compile);
  }
  if (run_command->parsed()) {
    return run_evaluation(evaluation);
  }
  return run_graph(graph_encoder, graph_output);
}

} // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& error) {
    // Caller errors of the library (sizes that overflow 64 bits) and exhausted memory; printed
    // straight away, since building a message could need the memory that ran out.
    std::cerr << "orvik: error: " << error.what() << '\n';
    return exit_compile_error;
  }
}
