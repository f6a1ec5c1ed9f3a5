#pragma once

// The tool's commands, each of which registers itself as a subcommand of the command line and
// runs once the command line names it.

#include "tool_failure.hpp"

#include <orvik_compiler/debug_text.hpp>

#include <CLI/CLI.hpp>

#include <functional>
#include <iostream>

namespace orvik_tool {

/// A subcommand registered on the command line, and what runs it once parsed; the options it
/// parses into live as long as `run`.
struct Command {
  CLI::App* subcommand = nullptr;
  /// Runs the command with its parsed options; the exit status.
  std::function<int()> run;
};

/// `orvik compile`: compiles a graph file, an ONNX model or the built-in encoder and writes the
/// schedule as a summary, debug text or JSON, with an optional trace, memory picture and report.
Command add_compile_command(CLI::App& app);

/// `orvik graph`: writes the built-in encoder as a graph file.
Command add_graph_command(CLI::App& app);

/// `orvik run`: evaluates a graph file, an ONNX model or the built-in encoder on the host.
Command add_run_command(CLI::App& app);

/// `orvik verify`: checks a schedule JSON file against its graph and the target's options.
Command add_verify_command(CLI::App& app);

/// `orvik import`: writes an ONNX model as a graph file.
Command add_import_command(CLI::App& app);

/// Prints the failure's message on standard error, every character that would not print (a
/// name's escape sequence, a NUL read from a file) escaped; its exit status.
inline int exit_with(const ToolFailure& failure) {
  orvik_compiler::write_printable(std::cerr, failure.message) << '\n';
  return failure.exit_status;
}

/// The exit status of a command that ends with `outcome`: 0 for success, else the failure's,
/// printed.
inline int exit_status(const ToolResult<void>& outcome) {
  return outcome ? exit_success : exit_with(outcome.failure());
}

} // namespace orvik_tool
