#pragma once

// The command line around the option parser: arguments that name no option or command, told
// apart before the parser guesses what they are, with the nearest valid name; the parser's own
// errors in the tool's form; and a usage line that names every positional argument.

#include "tool_failure.hpp"

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

namespace orvik_tool {

/// Checks the arguments (without the program name) the way the parser reads them: before the
/// command, each must be an option of `app` or the first a command; after it, each option-like
/// argument must be an option of that command. Values that an option takes are skipped, as is
/// everything after "--"; "-" and negative numbers are not options. The first argument that
/// fails is a usage error, "unknown option --tiels (did you mean --tiles?)" or "unknown command
/// compil (did you mean compile?)", the suggestion only where `nearest_name` finds one. A help
/// or version request anywhere takes precedence, so then nothing fails.
ToolResult<void> check_arguments(const CLI::App& app, const std::vector<std::string>& arguments);

/// The parser's message for `error` in the tool's form: "orvik: error: " and the message, its
/// first letter lower-cased unless the first word is a name in capitals (GRAPH), then the
/// parser's pointer to --help on a line of its own.
std::string parse_failure_message(const CLI::App* app, const CLI::Error& error);

/// Help text whose usage line also names the positional arguments of option groups, which the
/// parser's own formatter leaves out: "Usage: orvik compile [OPTIONS] [GRAPH]".
class HelpFormatter : public CLI::Formatter {
public:
  std::string make_usage(const CLI::App* app, std::string name) const override;
};

} // namespace orvik_tool
