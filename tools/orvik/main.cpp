// The orvik command-line tool: compiles the built-in encoder, a graph file or an ONNX model and
// shows the schedule as a report, its debug text or JSON, with an optional trace, memory picture
// and interactive HTML report; evaluates one on the host; writes the encoder or an imported model
// as a graph file.
//
// Exit status: 0 on success, 1 when the graph does not compile or evaluate or would take more
// memory than the budget, 2 for a usage error, a bad graph or value file, a model that cannot be
// imported or an output that cannot be written.

#include "graph_file.hpp"
#include "input_file.hpp"
#include "onnx_model.hpp"
#include "output_files.hpp"
#include "report.hpp"
#include "resource_budget.hpp"
#include "run_command.hpp"
#include "schedule_reader.hpp"
#include "tool_failure.hpp"
#include "views.hpp"

#include <orvik_compiler/orvik_compiler.hpp>

#include <CLI/CLI.hpp>

#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <iostream>
#include <limits>
#include <optional>
#include <sstream>
#include <unistd.h>

namespace {

using orvik_compiler::CompilerOptions;
using orvik_compiler::EncoderConfig;
using orvik_compiler::Graph;
using orvik_tool::exit_compile_error;
using orvik_tool::exit_success;
using orvik_tool::exit_usage_error;
using orvik_tool::InputFile;
using orvik_tool::OutputFile;
using orvik_tool::tool_error;
using orvik_tool::ToolFailure;
using orvik_tool::ToolResult;

/// Refuses an empty path, which names no file.
CLI::Validator non_empty_path() {
  return CLI::Validator(
      [](const std::string& text) -> std::string {
        return text.empty() ? "an empty path names no file" : "";
      },
      "PATH");
}

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

/// The graph to compile: the built-in encoder, the graph file at `path`, read up to
/// `max_input_bytes`, or the ONNX model at `path`, imported with the --dim options, which are for
/// ONNX models only.
ToolResult<Graph> load_graph(const std::string& path, const EncoderOptions& encoder,
                             std::uint64_t max_input_bytes, const std::vector<std::string>& dims) {
  const bool model = !encoder.requested && orvik_tool::is_onnx_model(path);
  if (!dims.empty() && !model) {
    return tool_error(exit_usage_error, "--dim applies to ONNX models (.onnx) only");
  }
  if (model) {
    ToolResult<orvik_compiler::OnnxModel> imported = orvik_tool::import_model(path, dims);
    if (!imported) {
      return imported.failure();
    }
    return std::move((*imported).graph);
  }
  if (encoder.requested) {
    orvik_compiler::Result<Graph> graph = orvik_compiler::encoder_graph(encoder.config);
    if (!graph) {
      return tool_error(exit_compile_error, graph.error().message);
    }
    return std::move(*graph);
  }
  const ToolResult<std::string> text = orvik_tool::read_input_file(path, max_input_bytes);
  if (!text) {
    return text.failure();
  }
  return orvik_tool::read_graph_file(*text, path == "-" ? "<stdin>" : path);
}

/// Writes the command's files; the exit status.
int deliver(const std::vector<OutputFile>& files, const std::vector<InputFile>& inputs = {}) {
  if (const std::optional<ToolFailure> failure = orvik_tool::write_all_or_nothing(files, inputs)) {
    return report(*failure);
  }
  return exit_success;
}

/// What the command reads, so that no output replaces it.
std::vector<InputFile> read_files(const std::string& path, const EncoderOptions& encoder) {
  if (encoder.requested) {
    return {};
  }
  return {{orvik_tool::is_onnx_model(path) ? "ONNX model" : "graph file", path}};
}

struct CompileCommand {
  std::string graph_path;
  EncoderOptions encoder;
  std::vector<std::string> dims;
  CompilerOptions options;
  std::string emit = "summary";
  std::string output = "-";
  std::string trace;
  std::string memory_map;
  std::uint16_t tile = 0;
  std::string report;
  std::uint64_t max_input_bytes = orvik_tool::default_max_input_bytes;
  std::uint64_t memory_budget = orvik_tool::default_memory_budget;
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

/// What the command would build, estimated before any of it is.
std::vector<orvik_tool::MemoryUse> memory_uses(const Graph& graph, const CompileCommand& command) {
  const orvik_tool::MemoryEstimate estimate(graph, command.options);
  std::vector<orvik_tool::MemoryUse> uses{{"schedule", estimate.schedule()}};
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

int run_compile(const CompileCommand& command) {
  const ToolResult<Graph> loaded =
      load_graph(command.graph_path, command.encoder, command.max_input_bytes, command.dims);
  if (!loaded) {
    return report(loaded.failure());
  }
  const Graph& graph = *loaded;
  // `compile` validates the graph too; the estimate needs a valid one, and an invalid graph
  // keeps its own message.
  if (const orvik_compiler::Result<void> valid = graph.validate(); !valid) {
    return report(tool_error(exit_compile_error, valid.error().message));
  }
  if (const std::optional<ToolFailure> failure =
          orvik_tool::check_memory_budget(memory_uses(graph, command), command.memory_budget)) {
    return report(*failure);
  }
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
  std::vector<OutputFile> files;
  if (!command.trace.empty()) {
    files.push_back({command.trace, orvik_tool::chrome_trace(graph, *schedule), "--trace"});
  }
  if (!command.memory_map.empty()) {
    files.push_back({command.memory_map,
                     orvik_tool::memory_map_svg(graph, command.options, *schedule, command.tile),
                     "--memory-map"});
  }
  if (!command.report.empty()) {
    files.push_back(
        {command.report,
         orvik_tool::schedule_report_html(source_name(command), graph, command.options, *schedule),
         "--report"});
  }
  std::string text;
  if (command.emit == "debug") {
    std::ostringstream debug;
    debug << *schedule << '\n';
    text = std::move(debug).str();
  } else if (command.emit == "json") {
    text = orvik_tool::schedule_json(*schedule);
  } else {
    text = orvik_tool::summary_report(graph, command.options, *schedule);
  }
  files.push_back({command.output, std::move(text), "-o"});
  return deliver(files, read_files(command.graph_path, command.encoder));
}

/// Writes the built-in encoder or an imported model as a graph file.
int write_graph(const std::string& path, const EncoderOptions& encoder,
                const std::vector<std::string>& dims, const std::string& output) {
  const ToolResult<Graph> loaded =
      load_graph(path, encoder, orvik_tool::default_max_input_bytes, dims);
  if (!loaded) {
    return report(loaded.failure());
  }
  ToolResult<std::string> written = orvik_tool::write_graph_file(*loaded);
  if (!written) {
    return report(written.failure());
  }
  return deliver({{output, std::move(*written), "-o"}}, read_files(path, encoder));
}

struct ImportCommand {
  std::string model_path;
  std::vector<std::string> dims;
  std::string output = "-";
};

int run_import(const ImportCommand& command) {
  if (!orvik_tool::is_onnx_model(command.model_path)) {
    return report(
        tool_error(exit_usage_error, command.model_path + " is not an ONNX model (.onnx)"));
  }
  return write_graph(command.model_path, {}, command.dims, command.output);
}

struct RunCommand {
  std::string graph_path;
  EncoderOptions encoder;
  std::vector<std::string> dims;
  orvik_tool::RunRequest request;
};

/// Evaluates the graph as `orvik run` asks and writes its files.
int evaluate_graph(const RunCommand& command, const Graph& graph,
                   const orvik_tool::RunRequest& request) {
  ToolResult<orvik_tool::RunFiles> files = orvik_tool::run_graph(graph, request);
  if (!files) {
    return report(files.failure());
  }
  std::vector<InputFile> inputs = read_files(command.graph_path, command.encoder);
  inputs.insert(inputs.end(), (*files).inputs.begin(), (*files).inputs.end());
  return deliver((*files).outputs, inputs);
}

int run_evaluation(const RunCommand& command) {
  orvik_tool::RunRequest request = command.request;
  if (command.encoder.requested) {
    request.encoder = command.encoder.config;
  }
  if (!command.encoder.requested && orvik_tool::is_onnx_model(command.graph_path)) {
    // An ONNX model brings its weights, bound from the imported model.
    const ToolResult<orvik_compiler::OnnxModel> model =
        orvik_tool::import_model(command.graph_path, command.dims);
    if (!model) {
      return report(model.failure());
    }
    for (const orvik_compiler::WeightValues& weight : (*model).weights) {
      request.values.push_back({weight.tensor, weight.values()});
    }
    return evaluate_graph(command, (*model).graph, request);
  }
  const ToolResult<Graph> loaded = load_graph(command.graph_path, command.encoder,
                                              command.request.max_input_bytes, command.dims);
  if (!loaded) {
    return report(loaded.failure());
  }
  return evaluate_graph(command, *loaded, request);
}

/// The target's tile count and data window, shared by the commands that compile or verify.
void add_target_options(CLI::App& command, CompilerOptions& options) {
  command.add_option("--tiles", options.tile_count, "tiles of the target")
      ->transform(number_up_to(std::numeric_limits<std::uint16_t>::max()))
      ->capture_default_str();
  command.add_option("--data-base", options.data_base, "first address of each tile's data window")
      ->transform(number_up_to(std::numeric_limits<std::uint32_t>::max()))
      ->capture_default_str();
  command
      .add_option("--data-limit", options.data_limit, "first address past each tile's data window")
      ->transform(number_up_to(std::numeric_limits<std::uint32_t>::max()))
      ->capture_default_str();
}

struct VerifyCommand {
  std::string schedule_path;
  std::string graph_path;
  EncoderOptions encoder;
  std::vector<std::string> dims;
  CompilerOptions options;
  std::uint64_t max_input_bytes = orvik_tool::default_max_input_bytes;
};

/// Prints "ok" for a sound schedule, and otherwise the first broken rule, with the compile
/// status.
int run_verify(const VerifyCommand& command) {
  const ToolResult<std::string> text =
      orvik_tool::read_input_file(command.schedule_path, command.max_input_bytes);
  if (!text) {
    return report(text.failure());
  }
  const ToolResult<orvik_compiler::Schedule> schedule = orvik_tool::read_schedule_json(
      *text, command.schedule_path == "-" ? "<stdin>" : command.schedule_path);
  if (!schedule) {
    return report(schedule.failure());
  }
  const ToolResult<Graph> graph =
      load_graph(command.graph_path, command.encoder, command.max_input_bytes, command.dims);
  if (!graph) {
    return report(graph.failure());
  }
  const orvik_compiler::Result<void> verdict =
      orvik_compiler::verify_schedule(*graph, command.options, *schedule);
  const int written = deliver({{"-", verdict ? "ok\n" : verdict.error().message + "\n", "-"}});
  return written != exit_success || verdict ? written : exit_compile_error;
}

int run(int argc, char** argv) {
  CLI::App app{"Compiles tensor graphs for many-tile processors and shows the schedules.", "orvik"};
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("orvik ") + ORVIK_VERSION);

  CompileCommand compile;
  CLI::App* compile_command =
      app.add_subcommand("compile", "compile a graph file, an ONNX model or the built-in encoder");
  CLI::Option_group* source = compile_command->add_option_group("source", "what to compile");
  source
      ->add_option("GRAPH", compile.graph_path,
                   "graph file, - for standard input, or ONNX model (.onnx)")
      ->check(non_empty_path());
  add_encoder_options(*compile_command, *source, compile.encoder);
  source->require_option(1);
  add_target_options(*compile_command, compile.options);
  const char* const dim_help = "give the symbolic dimension NAME of an ONNX model the extent N";
  compile_command->add_option("--dim", compile.dims, dim_help)->type_name("NAME=N");
  compile_command->add_option("--emit", compile.emit, "what to write")
      ->check(CLI::IsMember({"summary", "debug", "json"}))
      ->capture_default_str();
  compile_command->add_option("-o,--output", compile.output, "write to FILE, - for standard output")
      ->check(non_empty_path())
      ->capture_default_str();
  compile_command
      ->add_option("--trace", compile.trace, "write a trace event file, - for standard output")
      ->check(non_empty_path());
  CLI::Option* memory_map =
      compile_command
          ->add_option("--memory-map", compile.memory_map,
                       "write an SVG picture of one tile's memory, - for standard output")
          ->check(non_empty_path());
  compile_command->add_option("--tile", compile.tile, "the tile of the memory picture")
      ->transform(number_up_to(std::numeric_limits<std::uint16_t>::max()))
      ->capture_default_str()
      ->needs(memory_map);
  compile_command
      ->add_option("--report", compile.report,
                   "write an interactive HTML report of the schedule, - for standard output")
      ->check(non_empty_path());
  compile_command
      ->add_option("--max-input-bytes", compile.max_input_bytes,
                   "read at most this many bytes of the graph file")
      ->transform(number_up_to(std::numeric_limits<std::uint64_t>::max()))
      ->capture_default_str();
  compile_command
      ->add_option("--memory-budget", compile.memory_budget,
                   "refuse a command estimated to need more bytes of memory")
      ->transform(number_up_to(std::numeric_limits<std::uint64_t>::max()))
      ->capture_default_str();

  EncoderOptions graph_encoder;
  std::string graph_output = "-";
  CLI::App* graph_command =
      app.add_subcommand("graph", "write the built-in encoder as a graph file");
  add_encoder_options(*graph_command, *graph_command, graph_encoder)->required();
  graph_command->add_option("-o,--output", graph_output, "write to FILE, - for standard output")
      ->check(non_empty_path())
      ->capture_default_str();

  RunCommand evaluation;
  CLI::App* run_command = app.add_subcommand(
      "run", "evaluate a graph file, an ONNX model or the built-in encoder on the host");
  CLI::Option_group* run_source = run_command->add_option_group("source", "what to evaluate");
  run_source
      ->add_option("GRAPH", evaluation.graph_path,
                   "graph file, - for standard input, or ONNX model (.onnx)")
      ->check(non_empty_path());
  add_encoder_options(*run_command, *run_source, evaluation.encoder);
  run_source->require_option(1);
  run_command
      ->add_option("--input", evaluation.request.inputs,
                   "bind the tensor called NAME to the values of a .npy or ONNX tensor (.pb) "
                   "file; repeatable")
      ->type_name("NAME=FILE")
      ->allow_extra_args(false);
  run_command->add_option("--dim", evaluation.dims, dim_help)->type_name("NAME=N");
  run_command
      ->add_option("-o,--output", evaluation.request.directory, "write each output as DIR/NAME.npy")
      ->type_name("DIR")
      ->check(non_empty_path())
      ->capture_default_str();
  run_command
      ->add_option("--max-input-bytes", evaluation.request.max_input_bytes,
                   "read at most this many bytes of the graph file and of each value file")
      ->transform(number_up_to(std::numeric_limits<std::uint64_t>::max()))
      ->capture_default_str();

  VerifyCommand verification;
  CLI::App* verify_command = app.add_subcommand(
      "verify", "check a schedule JSON file against its graph and the target's options");
  verify_command
      ->add_option("SCHEDULE", verification.schedule_path,
                   "schedule JSON (--emit json), - for standard input")
      ->required();
  CLI::Option_group* verify_source =
      verify_command->add_option_group("source", "the graph the schedule was compiled from");
  verify_source->add_option("GRAPH", verification.graph_path,
                            "graph file, - for standard input, or ONNX model (.onnx)");
  add_encoder_options(*verify_command, *verify_source, verification.encoder);
  verify_source->require_option(1);
  add_target_options(*verify_command, verification.options);
  verify_command->add_option("--dim", verification.dims, dim_help)->type_name("NAME=N");
  verify_command
      ->add_option("--max-input-bytes", verification.max_input_bytes,
                   "read at most this many bytes of each input file")
      ->transform(number_up_to(std::numeric_limits<std::uint64_t>::max()))
      ->capture_default_str();

  ImportCommand import;
  CLI::App* import_command = app.add_subcommand("import", "write an ONNX model as a graph file");
  import_command->add_option("MODEL", import.model_path, "ONNX model (.onnx)")
      ->required()
      ->check(non_empty_path());
  import_command->add_option("--dim", import.dims, dim_help)->type_name("NAME=N");
  import_command->add_option("-o,--output", import.output, "write to FILE, - for standard output")
      ->check(non_empty_path())
      ->capture_default_str();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    // Help and the version go to standard output like any other output, so that a failure to
    // write them is reported too.
    std::ostringstream out;
    if (app.exit(error, out, std::cerr) != 0) {
      return exit_usage_error;
    }
    return deliver({{"-", out.str(), ""}});
  }
  if (compile_command->parsed()) {
    return run_compile(compile);
  }
  if (run_command->parsed()) {
    return run_evaluation(evaluation);
  }
  if (verify_command->parsed()) {
    return run_verify(verification);
  }
  if (import_command->parsed()) {
    return run_import(import);
  }
  return write_graph("", graph_encoder, {}, graph_output);
}

/// Gives each standard descriptor that is closed a stand-in on which every transfer fails:
/// /dev/null, opened for the other direction. Files that the tool opens later can then never
/// take those numbers, where text meant for standard output would land in them, and using a
/// closed standard stream is reported as the error it is.
void stand_in_for_closed_streams() {
  for (const int descriptor : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (fcntl(descriptor, F_GETFD) == -1 && errno == EBADF) {
      // The lowest free number is this one, since the ones below are open by now.
      open("/dev/null", descriptor == STDIN_FILENO ? O_WRONLY : O_RDONLY);
    }
  }
}

} // namespace

int main(int argc, char** argv) {
  stand_in_for_closed_streams();
  try {
    return run(argc, argv);
  } catch (const std::exception& error) {
    // Caller errors of the library (sizes that overflow 64 bits) and exhausted memory; printed
    // straight away, since building a message could need the memory that ran out.
    std::cerr << "orvik: error: " << error.what() << '\n';
    return exit_compile_error;
  }
}
