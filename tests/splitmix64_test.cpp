// The SplitMix64 finaliser against the generator's published sequence, and its inverse.

#include "splitmix64.hpp"
#include "splitmix64_inverse.hpp"
#include "test_support.hpp"

namespace orvik_compiler {
namespace {

TEST_CASE("the finaliser gives SplitMix64's sequence from a zero seed", "[splitmix64]") {
  // A wrong constant or shift changes every value; the tree priorities built on it would still
  // work, only worse, so the published values are the check.
  CHECK(splitmix64_mix(1 * splitmix64_increment) == 0xE220A8397B1DCDAFULL);
  CHECK(splitmix64_mix(2 * splitmix64_increment) == 0x6E789E6AA1B965F4ULL);
  CHECK(splitmix64_mix(3 * splitmix64_increment) == 0x06C45D188009454FULL);
  CHECK(splitmix64_mix(0) == 0);
}

TEST_CASE("the tests' inverse undoes the finaliser", "[splitmix64]") {
  // The colliding keys of the exchange check's tests are only as chosen as this inverse is
  // exact: values with high, low and alternating bits, each shift's carry included.
  const std::uint64_t values[] = {0,
                                  1,
                                  0x8000000000000000,
                                  0x0123456789ABCDEF,
                                  0xFFFFFFFFFFFFFFFF,
                                  0xAAAAAAAA55555555,
                                  std::uint64_t{42} << 32U};
  for (const std::uint64_t value : values) {
    CHECK(splitmix64_mix(testing::splitmix64_unmix(value)) == value);
    CHECK(testing::splitmix64_unmix(splitmix64_mix(value)) == value);
  }
}

} // namespace
} // namespace orvik_compiler
