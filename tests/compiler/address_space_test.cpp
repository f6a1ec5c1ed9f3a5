// Rounding to an alignment: in 64 bits inside the planner, and in 32 bits for schedule writers.

#include "compiler/address_space.hpp"
#include "test_support.hpp"

namespace orvik_compiler {
namespace {

TEST_CASE("align_up is exact up to the end of the address space", "[address space]") {
  // Alignments of every size, powers of two or not, and values whose rounding passes 2^32.
  struct Case {
    std::uint64_t value;
    std::uint32_t alignment;
    std::uint64_t aligned;
  };
  const std::vector<Case> cases{
      {0, 16, 0},
      {17, 1, 17},
      {25, 24, 48},
      {48, 24, 48},
      {0xFFFFFFFFU, 16, address_space_end},
      {0xFFFFFFFFU, 0x80000000U, address_space_end},
      {0xFFFFFFFFU, 0xFFFFFFFFU, 0xFFFFFFFFU},
      {address_space_end + 1, 0xFFFFFFFFU, 2 * std::uint64_t{0xFFFFFFFFU}},
  };
  for (const Case& c : cases) {
    INFO(c.value << " to " << c.alignment);
    CHECK(align_up(c.value, c.alignment) == c.aligned);
  }
}

TEST_CASE("align_u32 rounds up to a multiple and refuses what cannot fit", "[address space]") {
  CHECK(align_u32(0, 16) == 0);
  CHECK(align_u32(1, 16) == 16);
  CHECK(align_u32(16, 16) == 16);
  CHECK(align_u32(100, 16) == 112);
  CHECK(align_u32(7, 3) == 9);
  CHECK(align_u32(0xFFFFFFF0U, 16) == 0xFFFFFFF0U);
  CHECK(align_u32(0xFFFFFFFFU, 1) == 0xFFFFFFFFU);
  CHECK_THROWS_AS(align_u32(0xFFFFFFF1U, 16), std::overflow_error);
  CHECK(align_u32(1, 0x80000000U) == 0x80000000U);
  CHECK_THROWS_AS(align_u32(0x80000001U, 0x80000000U), std::overflow_error);
  CHECK_THROWS_AS(align_u32(5, 0), std::invalid_argument);
}

} // namespace
} // namespace orvik_compiler
