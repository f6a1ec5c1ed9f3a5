// The orvik command-line tool: compiles the built-in encoder, a graph file or an ONNX model and
// shows the schedule as a report, its debug text or JSON, with an optional trace, memory picture
// and interactive HTML report; evaluates one on the host; writes the encoder or an imported model
// as a graph file.
//
// Exit status: 0 on success, 1 when the graph does not compile or evaluate or would take more
// memory than the budget, 2 for a usage error, a bad graph or value file, a model that cannot be
// imported or an output that cannot be written.

#include "command_line.hpp"
#include "commands.hpp"
#include "output_files.hpp"
#include "tool_failure.hpp"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using orvik_tool::Command;

/// Reports a command line that does not parse, or asks for help or the version; the exit
/// status. Help and the version go to standard output like any other output, so that a failure
/// to write them is reported too.
int parse_error(const CLI::App& app, const CLI::ParseError& error) {
  std::ostringstream out;
  if (app.exit(error, out, std::cerr) != 0) {
    return orvik_tool::exit_usage_error;
  }
  return orvik_tool::exit_status(orvik_tool::write_all_or_nothing({{"-", out.str(), ""}}));
}

int run(int argc, char** argv) {
  CLI::App app{"Compiles tensor graphs for many-tile processors and shows the schedules.", "orvik"};
  // Set before the commands are added, which take both over.
  app.formatter(std::make_shared<orvik_tool::HelpFormatter>());
  app.failure_message(orvik_tool::parse_failure_message);
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("orvik ") + ORVIK_VERSION);
  const Command commands[] = {orvik_tool::add_compile_command(app),
                              orvik_tool::add_graph_command(app), orvik_tool::add_run_command(app),
                              orvik_tool::add_verify_command(app),
                              orvik_tool::add_import_command(app)};
  const std::vector<std::string> arguments(argv + std::min(argc, 1), argv + argc);
  if (const orvik_tool::ToolResult<void> known = orvik_tool::check_arguments(app, arguments);
      !known) {
    return orvik_tool::exit_with(known.failure());
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return parse_error(app, error);
  }
  for (const Command& command : commands) {
    if (command.subcommand->parsed()) {
      return command.run();
    }
  }
  // The parse already fails without a subcommand; none parsed is that usage error all the same.
  return parse_error(app, CLI::RequiredError::Subcommand(1));
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
    return orvik_tool::exit_compile_error;
  }
}
