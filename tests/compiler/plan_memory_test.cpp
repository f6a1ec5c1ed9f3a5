// Memory planning: placement and the memory errors.

#include "test_support.hpp"
#include "testing/generated_graphs.hpp"

#include <limits>

namespace orvik_compiler {
namespace {

using testing::expect_error;
using testing::expect_value;

constexpr std::uint32_t base = 0x52000;

/// One tile, 16-byte tensors: the graph the lifetime tests below compile.
CompilerOptions one_tile(std::uint32_t data_base = base, std::uint32_t data_limit = 0xE0000) {
  return CompilerOptions{1, data_base, data_limit};
}

const Allocation& allocation_of(const Schedule& schedule, TensorId tensor) {
  for (const Allocation& allocation : schedule.allocations) {
    if (allocation.tensor == tensor) {
      return allocation;
    }
  }
  FAIL("no allocation of " << testing::debug(tensor));
  throw std::logic_error("unreachable");
}

TEST_CASE("a tensor written but never read is live at the phase that writes it", "[memory]") {
  // x is read at phases 0 to 2, a lives from 1 to 3. The dead tensor written at phase 2 must not
  // share bytes with a, which is live at phase 2 too.
  Graph graph;
  const TensorId x = graph.input("x", {4});
  const TensorId unread_first = expect_value(graph.gelu("w", x));
  const TensorId a = expect_value(graph.gelu("a", x));
  const TensorId dead = expect_value(graph.gelu("dead", x));
  const TensorId z = expect_value(graph.add("z", a, a));
  graph.mark_output(z);
  const Schedule schedule = expect_value(compile(graph, one_tile()));

  const Allocation& dead_block = allocation_of(schedule, dead);
  CHECK(dead_block.live_from == 2);
  CHECK(dead_block.live_until == 2);
  CHECK(allocation_of(schedule, unread_first).live_until == 0);
  const Allocation& a_block = allocation_of(schedule, a);
  CHECK(a_block.address == base + 16);
  CHECK(dead_block.address == base + 32);
  CHECK(allocation_of(schedule, z).live_until == schedule.phases.size());
  CHECK(testing::broken_rule(graph, one_tile(), schedule).empty());
}

TEST_CASE("blocks reuse bytes exactly when their lifetimes are disjoint", "[memory]") {
  // Lifetimes: x 0..0, y 0..1, z 1..2 (the output). z touches y at phase 1, so it must sit
  // above y, but it may reuse x's bytes.
  Graph graph;
  const TensorId x = graph.input("x", {25}); // 100 bytes, padded to 112
  const TensorId y = expect_value(graph.gelu("y", x));
  const TensorId z = expect_value(graph.gelu("z", y));
  graph.mark_output(z);
  const Schedule schedule = expect_value(compile(graph, one_tile()));
  CHECK(allocation_of(schedule, x).address == base);
  CHECK(allocation_of(schedule, x).size == 112);
  CHECK(allocation_of(schedule, y).address == base + 112);
  CHECK(allocation_of(schedule, z).address == base);
  CHECK(schedule.peak_sram == std::map<std::uint16_t, std::uint32_t>{{0, 224}});
}

TEST_CASE("the window's end is inclusive of a block that ends exactly there", "[memory]") {
  Graph graph;
  graph.mark_output(graph.input("x", {4})); // one 16-byte block
  CHECK(expect_value(compile(graph, one_tile(base, base + 16))).peak_sram.at(0) == 16);
  CHECK(expect_error(compile(graph, one_tile(base, base + 15))) ==
        CompileError::memory("tile 0 exceeds data limit allocating x"));
  // A window of one byte passes the option check and then fails planning.
  CHECK(expect_error(compile(graph, one_tile(base, base + 1))) ==
        CompileError::memory("tile 0 exceeds data limit allocating x"));
}

TEST_CASE("addresses never wrap past the top of the 32-bit range", "[memory]") {
  Graph graph;
  const TensorId x = graph.input("x", {4});
  const TensorId y = expect_value(graph.gelu("y", x));
  graph.mark_output(y);
  constexpr std::uint32_t top = std::numeric_limits<std::uint32_t>::max();
  // The second block would start at 0x1_0000_0000 after rounding x's end up to 16.
  CHECK(expect_error(compile(graph, one_tile(0xFFFFFFE1U, top))) ==
        CompileError::memory("address overflow"));
  // A block whose end is 2^32 does not fit either.
  CHECK(expect_error(compile(graph, one_tile(0xFFFFFFF0U, top))) ==
        CompileError::memory("address overflow"));
  // Up to one below the top both fit.
  const Schedule fits = expect_value(compile(graph, one_tile(0xFFFFFFC0U, top)));
  CHECK(allocation_of(fits, y).address == 0xFFFFFFD0U);
}

TEST_CASE("a share of 2^32 bytes or more is a memory error, never narrowed", "[memory]") {
  Graph graph;
  graph.mark_output(graph.input("huge", {std::uint64_t{1} << 30U})); // 4 GiB on one tile
  CHECK(expect_error(compile(graph, one_tile())) ==
        CompileError::memory("tile 0 exceeds data limit allocating huge"));
  Graph padded;
  // 2^32 - 4 bytes fits 32 bits, but not once padded to the alignment.
  padded.mark_output(padded.input("padded", {(std::uint64_t{1} << 30U) - 1}));
  CHECK(expect_error(compile(padded, one_tile())) ==
        CompileError::memory("tile 0 exceeds data limit allocating padded"));
}

TEST_CASE("plan_memory rejects ids that name nothing instead of reading past arrays", "[memory]") {
  Graph graph;
  const TensorId x = graph.input("x", {4});
  graph.mark_output(x);
  const std::vector<Layout> layouts{choose_layout(graph.tensors[0], 1)};
  const std::vector<Phase> bad_op{Phase::Compute{OpId{3}, {}}};
  CHECK_THROWS_AS(plan_memory(graph, layouts, bad_op, one_tile()), std::out_of_range);
  const std::vector<Phase> bad_transfer{Phase::Exchange{{Transfer{0, 1, TensorId{9}, 16}}}};
  CHECK_THROWS_AS(plan_memory(graph, layouts, bad_transfer, one_tile()), std::out_of_range);
  graph.outputs.push_back(TensorId{5});
  CHECK_THROWS_AS(plan_memory(graph, layouts, {}, one_tile()), std::out_of_range);
  CHECK_THROWS_AS(plan_memory(graph, {}, {}, one_tile()), std::invalid_argument);
}

/// Inputs a, b, c, ... that all live at phase 0, of 16 bytes unless `elements` says otherwise,
/// planned on layouts given directly.
struct DirectLayouts {
  Graph graph;
  std::vector<Layout> layouts;

  explicit DirectLayouts(std::vector<std::vector<std::uint16_t>> tiles,
                         std::vector<std::uint64_t> elements = {}) {
    elements.resize(tiles.size(), 4);
    for (std::size_t i = 0; i < tiles.size(); ++i) {
      const TensorId id = graph.input(std::string(1, static_cast<char>('a' + i)), {elements[i]});
      graph.mark_output(id);
      layouts.push_back(Layout{id, std::move(tiles[i]), Sharding::Rows, 16});
    }
  }

  std::vector<std::uint32_t> addresses(const CompilerOptions& options) const {
    std::vector<std::uint32_t> result;
    for (const Allocation& allocation : expect_value(plan_memory(graph, layouts, {}, options))) {
      result.push_back(allocation.address - options.data_base);
    }
    return result;
  }

  CompileError error(const CompilerOptions& options) const {
    return expect_error(plan_memory(graph, layouts, {}, options));
  }
};

TEST_CASE("each tile is planned on its own, whatever the order and repeats of its tiles",
          "[memory]") {
  // a on tiles 9 and 2; b on 2, 9 and 2 again; c on 9: tile 2 holds a, b, b and tile 9 a, b, c.
  const DirectLayouts direct({{9, 2}, {2, 9, 2}, {9}});
  CHECK(direct.addresses(one_tile()) == std::vector<std::uint32_t>{0, 0, 16, 16, 32, 32});
  // Tiles 4 and 7 hold the same sequence and get the same addresses; tile 1 holds b alone.
  const DirectLayouts twins({{7, 4}, {1, 4, 7}});
  CHECK(twins.addresses(one_tile()) == std::vector<std::uint32_t>{0, 0, 0, 16, 16});
}

TEST_CASE("the first failing share in layout order names the tile", "[memory]") {
  // Tile 3 holds a, b and c; tiles 5 and 6 hold c alone. A window of 32 bytes fits two blocks.
  const CompilerOptions window = one_tile(base, base + 32);
  CHECK(DirectLayouts({{3}, {3}, {5, 3, 6}}).error(window) ==
        CompileError::memory("tile 3 exceeds data limit allocating c"));
  CHECK(DirectLayouts({{3}, {3}, {3, 5}}).error(window) ==
        CompileError::memory("tile 3 exceeds data limit allocating c"));
  // c's second share on tile 5 is that tile's third block, the first share that does not fit.
  CHECK(DirectLayouts({{3}, {5}, {5, 3, 5}}).error(window) ==
        CompileError::memory("tile 5 exceeds data limit allocating c"));
  CHECK(DirectLayouts({{5}, {5}, {3, 5, 3}}).error(window) ==
        CompileError::memory("tile 5 exceeds data limit allocating c"));
  // Near the top of the range b, 32 bytes a share, passes the limit on the empty tile 3, but
  // overflows on tile 6 above a; whichever tile comes first in b's layout decides.
  const CompilerOptions top_window = one_tile(0xFFFFFFC1U, 0xFFFFFFD1U);
  CHECK(DirectLayouts({{6}, {3, 6}}, {4, 16}).error(top_window) ==
        CompileError::memory("tile 3 exceeds data limit allocating b"));
  CHECK(DirectLayouts({{6}, {6, 3}}, {4, 16}).error(top_window) ==
        CompileError::memory("address overflow"));
}

TEST_CASE("a bad layout throws only when no earlier tensor has failed", "[memory]") {
  DirectLayouts direct({{0}, {0}, {0}});
  direct.layouts[2].tiles.clear();
  CHECK_THROWS_AS(plan_memory(direct.graph, direct.layouts, {}, one_tile()), std::invalid_argument);
  CHECK(direct.error(one_tile(base, base + 16)) ==
        CompileError::memory("tile 0 exceeds data limit allocating b"));
  direct.layouts[2].tiles = {0};
  direct.layouts[2].alignment = 0;
  CHECK_THROWS_AS(plan_memory(direct.graph, direct.layouts, {}, one_tile()), std::invalid_argument);
}

TEST_CASE("schedules of generated graphs keep every invariant", "[memory][property]") {
  const std::vector<CompilerOptions> targets{
      {1, base, 0xE0000}, {4, 0, 0x10000}, {64, base, 0xE0000}, {300, 7, 0x4000}};
  std::size_t compiled = 0;
  for (std::uint64_t seed = 0; seed < 150; ++seed) {
    const Graph graph = testing::generated_graph(seed, 1 + seed % 25, 1 + seed % 90);
    for (const CompilerOptions& options : targets) {
      const Result<Schedule> schedule = compile(graph, options);
      if (!schedule) {
        INFO(testing::debug(schedule.error()));
        CHECK(schedule.error().kind == CompileError::Kind::Memory);
        continue;
      }
      ++compiled;
      INFO("seed " << seed << " " << testing::debug(options));
      CHECK(testing::broken_rule(graph, options, *schedule).empty());
      CHECK(compile(graph, options) == schedule);
    }
  }
  CHECK(compiled > 400);
}

} // namespace
} // namespace orvik_compiler
