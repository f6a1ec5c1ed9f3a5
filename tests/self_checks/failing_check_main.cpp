// A self-check executable with one check that always fails, to show that the harness reports
// the failure text and fails the run.

#include "self_checks/checks.hpp"
#include "self_checks/run_harness.hpp"

#include <catch2/catch.hpp>

TEST_CASE("tests::deliberately_failing_check") {
  throw orvik_compiler::tests::CheckFailure("assertion failed: deliberately failing check");
}

int main(int argc, char* argv[]) {
  return orvik_compiler::tests::run_harness(argc, argv);
}
