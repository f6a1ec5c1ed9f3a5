// The exchange check and the order of its two errors.

#include "test_support.hpp"

#include "compiler/transfer_destination.hpp"

#include <random>
#include <set>
#include <unordered_set>
#include <utility>

namespace orvik_compiler {
namespace {

using testing::expect_error;

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
  };
  for (const Case& c : cases) {
    CHECK(expect_error(validate_transfers(c.transfers)) == c.error);
  }
}

TEST_CASE("destinations whose tensor and tile cancel out still hash apart", "[exchange]") {
  // tensor * 65537 + tile is the same for every pair below, which used to put all of them in
  // one bucket and make the check quadratic.
  std::uint64_t inverse = 1;
  for (int step = 0; step < 6; ++step) {
    inverse *= 2 - 65537 * inverse; // Newton's iteration for the inverse modulo 2^64
  }
  REQUIRE(inverse * 65537 == 1);
  std::unordered_set<std::size_t> hashes;
  std::vector<Transfer> transfers;
  for (std::uint16_t tile = 1; tile != 0; ++tile) {
    const TensorId tensor{(0x123456789ULL - tile) * inverse};
    hashes.insert(TransferDestinationHash{}(TransferDestination{tile, tensor}));
    transfers.push_back(Transfer{0, tile, tensor, 16});
  }
  CHECK(hashes.size() == transfers.size());
  CHECK(validate_transfers(transfers).has_value());
}

TEST_CASE("a repeated destination is found wherever the table puts it", "[exchange]") {
  // Lists of every length up to a few table sizes, over few tiles and tensors so that repeats
  // are common, each checked against a plain set: a repeat must be found whether its first
  // send sits in its home slot, further along, or past the end of the table.
  std::mt19937_64 rng(3);
  std::size_t repeats = 0;
  for (std::size_t length = 1; length < 300; ++length) {
    std::vector<Transfer> transfers;
    std::set<std::pair<std::uint16_t, std::uint64_t>> seen;
    bool repeated = false;
    for (std::size_t i = 0; i < length && !repeated; ++i) {
      const auto tile = static_cast<std::uint16_t>(1 + rng() % 40);
      const TensorId tensor{rng() % 40};
      transfers.push_back(Transfer{0, tile, tensor, 4});
      repeated = !seen.emplace(tile, tensor.index).second;
    }
    INFO("length " << length);
    if (repeated) {
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
