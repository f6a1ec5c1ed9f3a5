// The self-check executable: the library's three checks under the test harness.

#include "../src/self_checks/checks.hpp"
#include "../src/self_checks/run_harness.hpp"

#include <catch2/catch.hpp>

TEST_CASE("tests::encoder_graph_compiles_deterministically") {
  orvik_compiler::tests::encoder_graph_compiles_deterministically();
}

TEST_CASE("tests::encoder_reference_is_finite_and_repeatable") {
  orvik_compiler::tests::encoder_reference_is_finite_and_repeatable();
}

TEST_CASE("tests::live_allocations_do_not_overlap") {
  orvik_compiler::tests::live_allocations_do_not_overlap();
}

int main(int argc, char* argv[]) {
  return orvik_compiler::tests::run_harness(argc, argv);
}
