// A self-check executable with one check that always fails, to show that the harness reports
// the failure text and fails the run.

#include "tests/checks.hpp"
#include "tests/run_checks.hpp"

#include <array>

namespace {

void deliberately_failing_check() {
  throw orvik_compiler::tests::CheckFailure("assertion failed: deliberately failing check");
}

constexpr std::array<orvik_compiler::tests::RegisteredCheck, 1> checks{{
    {"tests::deliberately_failing_check", deliberately_failing_check},
}};

} // namespace

int main(int argc, char* argv[]) {
  return orvik_compiler::tests::run_checks(checks, argc, argv);
}
