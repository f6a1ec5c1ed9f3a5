// The self-checks pass on the library as built, and their failure texts reach the harness.

#include "self_checks/checks.hpp"
#include "test_support.hpp"

namespace orvik_compiler {
namespace {

TEST_CASE("the three self-checks pass", "[selfcheck]") {
  CHECK_NOTHROW(tests::encoder_graph_compiles_deterministically());
  CHECK_NOTHROW(tests::encoder_reference_is_finite_and_repeatable());
  CHECK_NOTHROW(tests::live_allocations_do_not_overlap());
}

} // namespace
} // namespace orvik_compiler
