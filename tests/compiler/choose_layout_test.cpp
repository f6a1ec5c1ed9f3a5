// Layout choice and share sizes at their boundaries.

#include "test_support.hpp"

namespace orvik_compiler {
namespace {

Tensor tensor(std::vector<std::uint64_t> shape, TensorKind kind = TensorKind::Input) {
  return Tensor{TensorId{5}, "t", DType::F32, std::move(shape), kind, {}};
}

std::vector<std::uint16_t> run(std::uint16_t n) {
  std::vector<std::uint16_t> tiles(n);
  for (std::uint16_t i = 0; i < n; ++i) {
    tiles[i] = i;
  }
  return tiles;
}

TEST_CASE("one tile per started KiB, clamped to 1 .. tile_count", "[layout]") {
  struct Case {
    std::vector<std::uint64_t> shape;
    std::uint16_t tile_count;
    std::uint16_t tiles;
    std::uint64_t share;
  };
  const std::vector<Case> cases{
      {{32, 64}, 64, 8, 1024},                      // 8192 bytes
      {{256}, 64, 1, 1024},                         // exactly 1024 bytes: one tile
      {{257}, 64, 2, 514},                          // 1028 bytes: two tiles
      {{1000}, 64, 4, 1000},                        // 4000 bytes
      {{1001}, 64, 4, 1001},                        // 4004 bytes: the share rounded up
      {{}, 64, 1, 4},                               // a scalar
      {{3, 0}, 64, 1, 0},                           // no elements still gets one tile
      {{25000}, 4, 4, 25000},                       // 100,000 bytes on a 4-tile target
      {{32, 64}, 1, 1, 8192},                       // one tile holds everything
      {{std::uint64_t{1} << 24U}, 64, 64, 1048576}, // 64 MiB clamps, never wraps to 0 tiles
      {{std::uint64_t{1} << 40U}, 65535, 65535, 67109889},
  };
  for (const Case& c : cases) {
    const Tensor t = tensor(c.shape);
    const Layout layout = choose_layout(t, c.tile_count);
    INFO(testing::debug(t));
    CHECK(layout.tensor == TensorId{5});
    CHECK(layout.tiles == run(c.tiles));
    CHECK(layout_tile_count(t, c.tile_count) == c.tiles);
    CHECK(layout.alignment == 16);
    CHECK(local_bytes(t, layout) == c.share);
  }
  CHECK(local_bytes(tensor({1000}), Layout{TensorId{5}, run(3), Sharding::Replicated, 16}) == 1334);
  CHECK_THROWS_AS(local_bytes(tensor({4}), Layout{}), std::invalid_argument);
  CHECK_THROWS_AS(choose_layout(tensor({std::uint64_t{1} << 62U}), 64), std::overflow_error);
  CHECK_THROWS_AS(layout_tile_count(tensor({std::uint64_t{1} << 62U}), 64), std::overflow_error);
}

TEST_CASE("the sharding label follows kind and rank", "[layout]") {
  CHECK(choose_layout(tensor({64, 64}, TensorKind::Weight), 64).sharding == Sharding::Columns);
  CHECK(choose_layout(tensor({64}, TensorKind::Weight), 64).sharding == Sharding::Replicated);
  CHECK(choose_layout(tensor({2, 2, 2}, TensorKind::Weight), 64).sharding == Sharding::Heads);
  CHECK(choose_layout(tensor({4, 32, 32}, TensorKind::Intermediate), 64).sharding ==
        Sharding::Heads);
  CHECK(choose_layout(tensor({32, 64}, TensorKind::Output), 64).sharding == Sharding::Rows);
  CHECK(choose_layout(tensor({}), 64).sharding == Sharding::Replicated);

  // A weight marked as an output is no longer treated as a weight.
  Graph graph;
  const TensorId w = graph.weight("w", {64, 64});
  graph.mark_output(w);
  const Layout layout = choose_layout(graph.tensors[w.index], 64);
  CHECK(layout.sharding == Sharding::Rows);
  CHECK(layout.tiles == run(16));
}

} // namespace
} // namespace orvik_compiler
