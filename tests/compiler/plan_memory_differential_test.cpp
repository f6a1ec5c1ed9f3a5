// The planner against the plain one: equal allocations, equal errors and equal throws on
// generated graphs with generated layouts, phases and windows, and on the encoder stacks.

#include "compiler/compile.hpp"
#include "compiler/plan_memory.hpp"
#include "test_support.hpp"
#include "testing/encoder_stack.hpp"
#include "testing/generated_graphs.hpp"
#include "testing/plain_plan_memory.hpp"

#include <algorithm>
#include <limits>
#include <map>
#include <numeric>
#include <optional>
#include <random>
#include <typeinfo>

namespace orvik_compiler {
namespace {

using testing::expect_value;

constexpr std::uint32_t top = std::numeric_limits<std::uint32_t>::max();

/// What a planner did: its allocations or its error, or the type and text of what it threw.
struct Outcome {
  std::optional<Result<std::vector<Allocation>>> result;
  std::string thrown;
};

template <class Planner>
Outcome outcome_of(Planner planner, const Graph& graph, std::span<const Layout> layouts,
                   std::span<const Phase> phases, const CompilerOptions& options) {
  try {
    return {planner(graph, layouts, phases, options), {}};
  } catch (const std::exception& error) {
    return {std::nullopt, std::string(typeid(error).name()) + ": " + error.what()};
  }
}

std::string describe(const Outcome& outcome) {
  if (!outcome.result) {
    return "threw " + outcome.thrown;
  }
  if (!*outcome.result) {
    return testing::debug(outcome.result->error());
  }
  return std::to_string((*outcome.result)->size()) + " allocations";
}

/// How the plain planner ended, so the test can show that every path was compared. A data
/// limit error on a tile other than the first of the tensor's layout shows that the error
/// names the first failing tile in layout order, not merely the first tile.
enum class Ending { Placed, AddressOverflow, DataLimit, DataLimitLaterTile, Threw };

struct Tally {
  std::size_t compared = 0;
  std::size_t endings[5] = {};

  std::size_t operator[](Ending ending) const { return endings[static_cast<std::size_t>(ending)]; }
};

Ending ending_of(const Outcome& plain, const Graph& graph, std::span<const Layout> layouts) {
  if (!plain.result) {
    return Ending::Threw;
  }
  if (*plain.result) {
    return Ending::Placed;
  }
  const std::string& message = plain.result->error().message;
  if (message == "address overflow") {
    return Ending::AddressOverflow;
  }
  for (const Tensor& tensor : graph.tensors) {
    const std::vector<std::uint16_t>& tiles = layouts[tensor.id.index].tiles;
    if (message.ends_with(" allocating " + tensor.name) && !tiles.empty() &&
        !message.starts_with("tile " + std::to_string(tiles.front()) + " ")) {
      return Ending::DataLimitLaterTile;
    }
  }
  return Ending::DataLimit;
}

/// Compares both planners on one input; returns the first difference, or an empty string.
std::string first_difference(const Graph& graph, std::span<const Layout> layouts,
                             std::span<const Phase> phases, const CompilerOptions& options,
                             Tally& tally) {
  const Outcome fast = outcome_of(plan_memory, graph, layouts, phases, options);
  const Outcome plain = outcome_of(testing::plain_plan_memory, graph, layouts, phases, options);
  ++tally.compared;
  ++tally.endings[static_cast<std::size_t>(ending_of(plain, graph, layouts))];

  if (fast.thrown != plain.thrown || fast.result.has_value() != plain.result.has_value() ||
      (fast.result && fast.result->has_value() != plain.result->has_value())) {
    return "fast " + describe(fast) + ", plain " + describe(plain);
  }
  if (!fast.result) {
    return {};
  }
  if (!*fast.result) {
    return fast.result->error() == plain.result->error()
               ? std::string{}
               : "fast " + describe(fast) + ", plain " + describe(plain);
  }
  const std::vector<Allocation>& mine = **fast.result;
  const std::vector<Allocation>& oracle = **plain.result;
  const auto [at, expected] = std::mismatch(mine.begin(), mine.end(), oracle.begin(), oracle.end());
  if (at == mine.end() && expected == oracle.end()) {
    // The peaks taken per span while the records are written are those of the records.
    const std::map<std::uint16_t, std::uint32_t> peaks =
        expect_value(
            plan_memory_with_peaks(graph, layouts, tensor_lifetimes(graph, phases), options))
            .peaks;
    return peaks == peak_per_tile(oracle, options) ? std::string{}
                                                   : "peaks differ from those of the records on " +
                                                         std::to_string(peaks.size()) + " tiles";
  }
  return "at allocation " + std::to_string(at - mine.begin()) + ": fast " +
         (at == mine.end() ? "ends" : testing::debug(*at)) + ", plain " +
         (expected == oracle.end() ? "ends" : testing::debug(*expected));
}

template <class Rng>
std::uint64_t pick(Rng& rng, std::uint64_t low, std::uint64_t high) {
  return std::uniform_int_distribution<std::uint64_t>(low, high)(rng);
}

/// Layouts as a caller may give them: runs 0 .. n-1 as the compiler makes them, or tiles drawn
/// from a small pool (so that some tiles share their sequence of tensors and others do not),
/// shuffled, sometimes repeated; alignments that need not be powers of two. With `caller_error`
/// one layout, somewhere, has no tiles or a zero alignment.
std::vector<Layout> generated_layouts(const Graph& graph, std::mt19937_64& rng, bool caller_error) {
  static constexpr std::uint16_t pool[] = {0, 1, 2, 3, 5, 8, 13, 700, 65535};
  static constexpr std::uint32_t alignments[] = {1, 4, 16, 16, 64, 24, 1000};
  std::vector<Layout> layouts;
  for (const Tensor& tensor : graph.tensors) {
    Layout layout{tensor.id, {}, Sharding::Rows, alignments[pick(rng, 0, 6)]};
    const std::uint64_t count = pick(rng, 1, 6);
    const bool run = pick(rng, 0, 2) == 0;
    for (std::uint64_t i = 0; i < count; ++i) {
      layout.tiles.push_back(run ? static_cast<std::uint16_t>(i) : pool[pick(rng, 0, 8)]);
    }
    layouts.push_back(std::move(layout));
  }
  if (caller_error) {
    Layout& broken = layouts[pick(rng, 0, layouts.size() - 1)];
    if (pick(rng, 0, 1) == 0) {
      broken.tiles.clear();
    } else {
      broken.alignment = 0;
    }
  }
  return layouts;
}

/// One compute phase per operation in order, some preceded by an exchange that moves random
/// tensors, and now and then an operation computed a second time later on.
std::vector<Phase> generated_phases(const Graph& graph, std::mt19937_64& rng) {
  std::vector<Phase> phases;
  for (const Op& op : graph.ops) {
    if (pick(rng, 0, 2) == 0) {
      std::vector<Transfer> transfers;
      for (std::uint64_t i = pick(rng, 1, 2); i > 0; --i) {
        transfers.push_back(Transfer{0, 1, TensorId{pick(rng, 0, graph.tensors.size() - 1)}, 4});
      }
      phases.emplace_back(Phase::Exchange{std::move(transfers)});
    }
    phases.emplace_back(Phase::Compute{op.id, {}});
    if (pick(rng, 0, 9) == 0) {
      phases.emplace_back(Phase::Compute{OpId{pick(rng, 0, op.id.index)}, {}});
    }
  }
  return phases;
}

/// Windows of every kind: the default one, tight ones with unaligned bases, ones that end at or
/// near the top of the 32-bit range (where candidates overflow), and empty ones.
CompilerOptions generated_window(std::mt19937_64& rng) {
  const auto address = [&](std::uint64_t low, std::uint64_t high) {
    return static_cast<std::uint32_t>(pick(rng, low, high));
  };
  switch (pick(rng, 0, 5)) {
  case 0:
    return CompilerOptions{};
  case 1: {
    const std::uint32_t base = address(0, 0x1000);
    return CompilerOptions{64, base, base + address(1, 0x2000)};
  }
  case 2: {
    const std::uint32_t base = address(0, 0x100);
    return CompilerOptions{64, base, base + address(0x1000, 0x40000)};
  }
  case 3:
    return CompilerOptions{64, top - address(0, 0x4000), top};
  case 4: {
    const std::uint32_t base = top - address(0x100, 0x8000);
    return CompilerOptions{64, base, base + address(1, top - base)};
  }
  default: {
    const std::uint32_t base = address(0, 0x1000);
    return CompilerOptions{64, base, base - address(0, base)};
  }
  }
}

TEST_CASE("the planner equals the plain one on generated layouts, phases and windows",
          "[memory][differential]") {
  Tally tally;
  for (std::uint64_t seed = 0; seed < 3000; ++seed) {
    std::mt19937_64 rng(seed);
    const Graph graph = testing::generated_graph(seed, 1 + seed % 30, 1 + seed % 70);
    const std::vector<Layout> layouts = generated_layouts(graph, rng, seed % 40 == 0);
    const std::vector<Phase> phases = generated_phases(graph, rng);
    for (int window = 0; window < 3; ++window) {
      const CompilerOptions options = generated_window(rng);
      INFO("seed " << seed << " " << testing::debug(options));
      REQUIRE(first_difference(graph, layouts, phases, options, tally).empty());
    }
  }
  // Every ending was compared many times, so no path of the planner went untested.
  CHECK(tally[Ending::Placed] > 3500);
  CHECK(tally[Ending::AddressOverflow] > 400);
  CHECK(tally[Ending::DataLimit] > 1000);
  CHECK(tally[Ending::DataLimitLaterTile] > 100);
  CHECK(tally[Ending::Threw] > 100);
}

TEST_CASE("the planner equals the plain one on compiled layouts and phases",
          "[memory][differential]") {
  Tally tally;
  for (std::uint64_t seed = 0; seed < 400; ++seed) {
    std::mt19937_64 rng(seed);
    const Graph graph = testing::generated_graph(seed, 1 + seed % 40, 1 + seed % 120);
    for (const std::uint16_t tiles : {std::uint16_t{1}, std::uint16_t{16}, std::uint16_t{300}}) {
      // Layouts and phases do not depend on the window, so the whole range gives them.
      const Result<Schedule> compiled = compile(graph, CompilerOptions{tiles, 0, top});
      if (!compiled) {
        continue;
      }
      CompilerOptions options = generated_window(rng);
      options.tile_count = tiles;
      INFO("seed " << seed << " " << testing::debug(options));
      REQUIRE(first_difference(graph, compiled->layouts, compiled->phases, options, tally).empty());
      if (const Result<Schedule> schedule = compile(graph, options)) {
        CHECK(testing::broken_rule(graph, options, *schedule).empty());
      }
    }
  }
  CHECK(tally.compared > 1000);
  CHECK(tally[Ending::Placed] > 400);
  CHECK(tally[Ending::AddressOverflow] > 80);
  CHECK(tally[Ending::DataLimit] + tally[Ending::DataLimitLaterTile] > 300);
}

/// Layouts with many distinct tile counts: each a run of up to 400 tiles from 0, or from
/// anywhere, sometimes followed by a second run over some of the same tiles.
std::vector<Layout> many_counts_layouts(const Graph& graph, std::mt19937_64& rng) {
  std::vector<Layout> layouts;
  for (const Tensor& tensor : graph.tensors) {
    Layout layout{tensor.id, {}, Sharding::Rows, pick(rng, 0, 3) == 0 ? 64U : 16U};
    const std::uint64_t runs = pick(rng, 0, 4) == 0 ? 2 : 1;
    for (std::uint64_t run = 0; run < runs; ++run) {
      const std::uint64_t first = pick(rng, 0, 1) == 0 ? 0 : pick(rng, 0, 200);
      for (std::uint64_t tile = first, end = first + pick(rng, 1, 400); tile < end; ++tile) {
        layout.tiles.push_back(static_cast<std::uint16_t>(tile));
      }
    }
    layouts.push_back(std::move(layout));
  }
  return layouts;
}

/// The phases of `generated_phases` with exchanges that read earlier tensors much later, so
/// that lifetimes stretch over most of the schedule.
std::vector<Phase> long_lived_phases(const Graph& graph, std::mt19937_64& rng) {
  std::vector<Phase> phases = generated_phases(graph, rng);
  for (std::size_t at = phases.size(); at > 0; at -= std::min<std::size_t>(at, 7)) {
    std::vector<Transfer> transfers;
    for (std::uint64_t i = pick(rng, 1, 4); i > 0; --i) {
      transfers.push_back(Transfer{0, 1, TensorId{pick(rng, 0, graph.tensors.size() - 1)}, 4});
    }
    phases.insert(phases.begin() + static_cast<std::ptrdiff_t>(at),
                  Phase{Phase::Exchange{std::move(transfers)}});
  }
  return phases;
}

TEST_CASE("the planner equals the plain one with many distinct tile counts and long lifetimes",
          "[memory][differential]") {
  Tally tally;
  for (std::uint64_t seed = 0; seed < 60; ++seed) {
    std::mt19937_64 rng(seed);
    const Graph graph = testing::generated_graph(seed, 20 + seed, 1 + seed % 50);
    const std::vector<Layout> layouts = many_counts_layouts(graph, rng);
    const std::vector<Phase> phases = long_lived_phases(graph, rng);
    for (const CompilerOptions options :
         {CompilerOptions{400, 0x52000, 0xE0000}, CompilerOptions{400, 0x52001, 0x52200},
          generated_window(rng)}) {
      INFO("seed " << seed << " " << testing::debug(options));
      REQUIRE(first_difference(graph, layouts, phases, options, tally).empty());
    }
  }
  CHECK(tally[Ending::Placed] > 50);
  CHECK(tally[Ending::DataLimit] + tally[Ending::DataLimitLaterTile] > 20);
}

TEST_CASE("the planner equals the plain one on weights of every tile count",
          "[memory][differential]") {
  // Every weight lives from phase 0 to its product, so each tile stacks all weights of more
  // tiles than its number, under values that stay live for long stretches.
  Tally tally;
  for (const std::uint64_t seed : {1U, 2U, 3U}) {
    const Graph graph = testing::generated_tile_counts(seed, 150);
    const Schedule compiled = expect_value(compile(graph, CompilerOptions{160, 0, top}));
    for (const std::uint32_t window : {0x40000U, 0x20000U, 0x4000U}) {
      const CompilerOptions options{160, 0x52000, 0x52000 + window};
      INFO("seed " << seed << " " << testing::debug(options));
      CHECK(first_difference(graph, compiled.layouts, compiled.phases, options, tally).empty());
    }
  }
  CHECK(tally[Ending::Placed] >= 3);
  CHECK(tally[Ending::DataLimit] + tally[Ending::DataLimitLaterTile] >= 3);
}

/// A long chain in which each value mostly feeds the next operation and now and then one much
/// later, with weights made along the way: blocks expire steadily, so the planner drops them
/// from its search while late weights and long-lived values still have to be met.
Graph long_chain(std::mt19937_64& rng, std::size_t length, bool keep_some = false) {
  Graph graph;
  std::vector<TensorId> values{graph.input("x", {4, 4})};
  for (std::size_t i = 0; i < length; ++i) {
    const std::string name = "v" + std::to_string(i);
    const std::uint64_t choice = pick(rng, 0, 9);
    const TensorId previous = values.back();
    if (choice == 0) {
      const TensorId weight = graph.weight("w" + std::to_string(i), {4, 4});
      values.push_back(expect_value(graph.matmul(name, previous, weight)));
    } else if (choice == 1) {
      const TensorId older = values[pick(rng, 0, values.size() - 1)];
      values.push_back(expect_value(graph.add(name, previous, older)));
    } else {
      values.push_back(expect_value(graph.gelu(name, previous)));
    }
    if (keep_some && pick(rng, 0, 4) == 0) {
      graph.mark_output(values.back());
    }
  }
  graph.mark_output(values.back());
  return graph;
}

TEST_CASE("the planner equals the plain one on long chains", "[memory][differential]") {
  Tally tally;
  std::mt19937_64 rng(21);
  for (std::size_t round = 0; round < 16; ++round) {
    // From round 12 on, every fifth value is an output and lives to the end, between values
    // that come and go: the live blocks leave gaps everywhere.
    const Graph graph = long_chain(rng, 200 + 50 * round, round >= 12);
    for (const std::uint16_t tiles : {std::uint16_t{1}, std::uint16_t{3}}) {
      const Schedule compiled = expect_value(compile(graph, CompilerOptions{tiles, 0, top}));
      for (const std::uint32_t window : {0x400U, 0x1000U, 0x100000U}) {
        const CompilerOptions options{tiles, 0x52000, 0x52000 + window};
        INFO("round " << round << " " << testing::debug(options));
        CHECK(first_difference(graph, compiled.layouts, compiled.phases, options, tally).empty());
      }
    }
  }
  CHECK(tally[Ending::Placed] >= 24);
  CHECK(tally[Ending::DataLimit] + tally[Ending::DataLimitLaterTile] >= 12);
}

/// The stack's layouts with the tile numbers permuted and each layout's tiles shuffled: the same
/// sizes and lifetimes, but tiles that share a sequence are no longer a run.
std::vector<Layout> shuffled(std::vector<Layout> layouts, std::mt19937_64& rng) {
  std::vector<std::uint16_t> relabel(1472);
  std::iota(relabel.begin(), relabel.end(), std::uint16_t{0});
  std::shuffle(relabel.begin(), relabel.end(), rng);
  for (Layout& layout : layouts) {
    for (std::uint16_t& tile : layout.tiles) {
      tile = relabel[tile];
    }
    std::shuffle(layout.tiles.begin(), layout.tiles.end(), rng);
  }
  return layouts;
}

TEST_CASE("the planner equals the plain one on encoder stacks", "[memory][differential]") {
  struct Stack {
    EncoderConfig config;
    std::size_t layers;
    std::uint16_t tiles;
  };
  // Full-size layers on 64 tiles (where a second layer no longer fits) and on 1472, and deep
  // stacks of small layers with hundreds of blocks on one tile.
  const Stack stacks[] = {{{128, 768, 12, 3072}, 1, 64},   {{128, 768, 12, 3072}, 2, 64},
                          {{128, 768, 12, 3072}, 1, 1472}, {{128, 768, 12, 3072}, 3, 1472},
                          {EncoderConfig{}, 24, 64},       {EncoderConfig{}, 24, 4}};
  const CompilerOptions windows[] = {
      {0, 0x52000, 0xE0000}, {0, 0x52001, 0x60000}, {0, top - 0x20000, top}};
  Tally tally;
  std::mt19937_64 rng(8);
  for (const Stack& stack : stacks) {
    const Graph graph = expect_value(testing::encoder_stack(stack.config, stack.layers));
    const Schedule compiled = expect_value(compile(graph, CompilerOptions{stack.tiles, 0, top}));
    const std::vector<Layout> relabelled = shuffled(compiled.layouts, rng);
    for (CompilerOptions options : windows) {
      options.tile_count = stack.tiles;
      INFO(stack.layers << " layers of " << testing::debug(stack.config) << ", "
                        << testing::debug(options));
      CHECK(first_difference(graph, compiled.layouts, compiled.phases, options, tally).empty());
      CHECK(first_difference(graph, relabelled, compiled.phases, options, tally).empty());
    }
  }
  CHECK(tally[Ending::Placed] >= 10);
  CHECK(tally[Ending::AddressOverflow] >= 4);
  CHECK(tally[Ending::DataLimit] + tally[Ending::DataLimitLaterTile] >= 10);
}

} // namespace
} // namespace orvik_compiler
