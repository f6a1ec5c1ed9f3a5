// The self-check executable: the library's three checks under the test harness.

#include "../src/tests/checks.hpp"
#include "../src/tests/run_checks.hpp"

#include <array>

namespace {

using orvik_compiler::tests::RegisteredCheck;

constexpr std::array<RegisteredCheck, 3> checks{{
    {"tests::encoder_graph_compiles_deterministically",
     orvik_compiler::tests::encoder_graph_compiles_deterministically},
    {"tests::encoder_reference_is_finite_and_repeatable",
     orvik_compiler::tests::encoder_reference_is_finite_and_repeatable},
    {"tests::live_allocations_do_not_overlap",
     orvik_compiler::tests::live_allocations_do_not_overlap},
}};

} // namespace

int main(int argc, char* argv[]) {
  return orvik_compiler::tests::run_checks(checks, argc, argv);
}
