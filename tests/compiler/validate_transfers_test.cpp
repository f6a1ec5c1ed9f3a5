// The exchange check and the order of its two errors.

#include "test_support.hpp"

#include "compiler/transfer_destination.hpp"
#include "splitmix64.hpp"
#include "splitmix64_inverse.hpp"

#include <cmath>
#include <functional>
#include <random>
#include <set>
#include <utility>

namespace orvik_compiler {
namespace {

using testing::expect_error;
using testing::splitmix64_unmix;

const CompileError invalid = CompileError::graph("invalid exchange transfer");
const CompileError duplicate =
    CompileError::graph("multiple sends target one tensor region in an epoch");

TEST_CASE("accepted transfer lists", "[exchange]") {
  const TensorId t{1};
  CHECK(validate_transfers({}).has_value());
  const std::vector<Transfer> fan_out{{0, 1, t, 16}, {0, 2, t, 16}, {0, 3, TensorId{2}, 16}};
  CHECK(validate_transfers(fan_out).has_value());
  const std::vector<Transfer> two_tensors_one_tile{{0, 1, t, 16}, {2, 1, TensorId{2}, 16}};
  CHECK(validate_transfers(two_tensors_one_tile).has_value());
}

TEST_CASE("rejected transfer lists, the first offending transfer deciding", "[exchange]") {
  const TensorId t{1};
  struct Case {
    std::vector<Transfer> transfers;
    CompileError error;
  };
  const std::vector<Case> cases{
      {{{2, 2, t, 64}}, invalid},
      {{{0, 1, t, 0}}, invalid},
      {{{0, 1, t, 16}, {2, 1, t, 32}}, duplicate},
      // Each transfer's own check comes before the duplicate check.
      {{{0, 1, t, 16}, {2, 1, t, 0}}, invalid},
      {{{0, 1, t, 16}, {0, 1, t, 16}, {3, 3, t, 16}}, duplicate},
      // A repeat after an invalid transfer, or around one, comes too late to decide.
      {{{2, 2, t, 64}, {0, 1, t, 16}, {0, 1, t, 16}}, invalid},
      {{{0, 1, t, 16}, {5, 5, t, 16}, {0, 1, t, 16}}, invalid},
  };
  for (const Case& c : cases) {
    CHECK(expect_error(validate_transfers(c.transfers)) == c.error);
  }
}

/// The position of the first transfer whose destination an earlier one has, by a plain set.
std::size_t reference_first_repeat(const std::vector<Transfer>& transfers) {
  std::set<std::pair<std::uint16_t, std::uint64_t>> seen;
  for (std::size_t i = 0; i < transfers.size(); ++i) {
    if (!seen.emplace(transfers[i].destination_tile, transfers[i].tensor.index).second) {
      return i;
    }
  }
  return transfers.size();
}

TEST_CASE("keys chosen to collide in a hash take O(n log n) comparisons", "[exchange]") {
  constexpr std::size_t count = 1U << 14U;
  std::uint64_t inverse_65537 = 1;
  for (int step = 0; step < 6; ++step) {
    inverse_65537 *= 2 - 65537 * inverse_65537;
  }
  struct Keys {
    const char* what;
    std::function<Transfer(std::size_t)> transfer;
  };
  const std::vector<Keys> key_sets{
      {"plain order",
       [](std::size_t i) {
         return Transfer{0, 1, TensorId{i}, 16};
       }},
      // Every key's finaliser hash, mix(mix(tensor) ^ tile), has its low 32 bits zero: one
      // bucket of any table of up to 2^32 slots.
      {"one bucket of the finaliser",
       [](std::size_t i) {
         const std::uint64_t hash = std::uint64_t{i + 1} << 32U;
         return Transfer{0, 1, TensorId{splitmix64_unmix(splitmix64_unmix(hash) ^ 1U)}, 16};
       }},
      // tensor * 65537 + tile is the same for every key.
      {"tensor and tile cancelling out",
       [&](std::size_t i) {
         const auto tile = static_cast<std::uint16_t>(1 + i % 65535);
         return Transfer{0, tile, TensorId{(0x123456789ULL - tile) * inverse_65537}, 16};
       }},
  };
  const double bound = 2.0 * count * std::log2(double{count});
  for (const Keys& keys : key_sets) {
    INFO(keys.what);
    std::vector<Transfer> transfers;
    for (std::size_t i = 0; i < count; ++i) {
      transfers.push_back(keys.transfer(i));
    }
    REQUIRE(reference_first_repeat(transfers) == count);
    std::uint64_t comparisons = 0;
    CHECK(first_repeated_destination(transfers, &comparisons) == count);
    CHECK(double(comparisons) < bound);
    CHECK(validate_transfers(transfers).has_value());
    // The last key sent again at the end, and the first again in the middle: the earlier
    // repeat is the one found.
    transfers.push_back(transfers.back());
    CHECK(first_repeated_destination(transfers) == count);
    transfers.insert(transfers.begin() + count / 2, transfers.front());
    CHECK(first_repeated_destination(transfers) == count / 2);
    CHECK(expect_error(validate_transfers(transfers)) == duplicate);
  }
}

TEST_CASE("the first repeated destination is the one a plain set finds", "[exchange]") {
  // Lists of every length up to a few hundred over few tiles and tensors, so that repeats are
  // common and often several destinations repeat: the earliest second send must win whatever
  // order the sort leaves the runs in.
  std::mt19937_64 rng(3);
  std::size_t repeats = 0;
  for (std::size_t length = 0; length < 300; ++length) {
    std::vector<Transfer> transfers;
    for (std::size_t i = 0; i < length; ++i) {
      const auto tile = static_cast<std::uint16_t>(1 + rng() % 40);
      transfers.push_back(Transfer{0, tile, TensorId{rng() % 40}, 4});
    }
    INFO("length " << length);
    const std::size_t expected = reference_first_repeat(transfers);
    CHECK(first_repeated_destination(transfers) == expected);
    if (expected < length) {
      ++repeats;
      CHECK(expect_error(validate_transfers(transfers)) == duplicate);
    } else {
      CHECK(validate_transfers(transfers).has_value());
    }
  }
  CHECK(repeats > 200);
}

} // namespace
} // namespace orvik_compiler
