#pragma once

// Hands a list of named checks to the test harness, which owns the command line, the report
// and the exit status.

#include <span>
#include <string_view>

namespace orvik_compiler::tests {

struct RegisteredCheck {
  /// The name the harness prints and matches its filters against.
  std::string_view name;
  void (*function)();
};

/// Registers `checks` with the harness and runs it on the command line. A run in which no
/// check matched the filters fails, so a mistyped name is never reported as success.
int run_checks(std::span<const RegisteredCheck> checks, int argc, char* argv[]);

} // namespace orvik_compiler::tests
