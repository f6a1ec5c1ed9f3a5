#pragma once

// The command-line options that several of the tool's commands share, and the checks that turn
// their text into values.

#include "graph_source.hpp"

#include <orvik_compiler/schedule.hpp>

#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace orvik_tool {

/// Refuses an empty path, which names no file.
CLI::Validator non_empty_path();

/// Accepts a decimal or 0x-hexadecimal number up to `max` and rewrites it in decimal, the only
/// form the option parser then has to read.
CLI::Validator number_up_to(std::uint64_t max);

/// Adds --encoder to `flag_owner` and the encoder's four dimensions, which need it, to
/// `command`; returns the flag.
CLI::Option* add_encoder_options(CLI::App& command, CLI::App& flag_owner, EncoderOptions& encoder);

/// Adds GRAPH (a graph file or an ONNX model) and --encoder with its dimensions to `command` as
/// the option group "source", described by `what`, of which exactly one must be given; returns
/// GRAPH.
CLI::Option* add_graph_source(CLI::App& command, const std::string& what, GraphSource& source);

/// Adds --dim NAME=N, repeatable, for the symbolic dimensions of an ONNX model.
void add_dim_option(CLI::App& command, std::vector<std::string>& dims);

/// Adds the target's tile count and data window: --tiles, --data-base and --data-limit, the
/// window's defaults shown in hexadecimal.
void add_target_options(CLI::App& command, orvik_compiler::CompilerOptions& options);

/// `message`, from a compilation or a schedule check with `options`, followed where it is the
/// library's refusal of the options by the option that is wrong and why: "invalid compiler
/// options: --tiles must be at least 1", "invalid compiler options: --data-limit 0x52000 is not
/// above --data-base 0x60000" (addresses in hexadecimal). Any other message is returned as it is.
std::string explain_refused_options(const std::string& message,
                                    const orvik_compiler::CompilerOptions& options);

/// Adds -o FILE, a non-empty path or - for standard output, which it is by default; returns it.
CLI::Option* add_output_option(CLI::App& command, std::string& output);

/// Adds --max-input-bytes N, described by `help`.
void add_max_input_bytes_option(CLI::App& command, std::uint64_t& max_input_bytes,
                                const std::string& help);

/// Adds --memory-budget N, the most bytes of memory that the command is estimated to need.
void add_memory_budget_option(CLI::App& command, std::uint64_t& memory_budget);

} // namespace orvik_tool
