#pragma once

// Hands the registered checks to the test harness, which owns the command line, the report and
// the exit status.

namespace orvik_compiler::tests {

/// Runs the harness on the command line over every check registered with it. A run in which no
/// check matched the filters fails, so a mistyped name is never reported as success.
int run_harness(int argc, char* argv[]);

} // namespace orvik_compiler::tests
