// The SplitMix64 finaliser against the generator's published sequence.

#include "splitmix64.hpp"
#include "test_support.hpp"

namespace orvik_compiler {
namespace {

TEST_CASE("the finaliser gives SplitMix64's sequence from a zero seed", "[splitmix64]") {
  // A wrong constant or shift changes every value; the hash keys and tree priorities built on
  // it would still work, only worse, so the published values are the check.
  CHECK(splitmix64_mix(1 * splitmix64_increment) == 0xE220A8397B1DCDAFULL);
  CHECK(splitmix64_mix(2 * splitmix64_increment) == 0x6E789E6AA1B965F4ULL);
  CHECK(splitmix64_mix(3 * splitmix64_increment) == 0x06C45D188009454FULL);
  CHECK(splitmix64_mix(0) == 0);
}

} // namespace
} // namespace orvik_compiler
