// The graph fuzzer's decoder keeps the cost of any input within its tile budget and still draws
// huge tile counts. Draws come from a seeded source that picks the ends of each range as often
// as the values between them, so that every branch of the decoder and the largest graphs and
// tile counts it can make are met.

#include "fuzz/graph_fuzzer_input.hpp"
#include "splitmix64.hpp"
#include "test_support.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

namespace orvik_compiler {
namespace {

using fuzzing::tile_work;
using fuzzing::tile_work_budget;

/// The draw interface of libFuzzer's FuzzedDataProvider, with values a test chooses: each one
/// the least of its range, the greatest, or, when mixed, either end or any value between.
class ChosenDraws {
public:
  enum class Choice : std::uint8_t { Least, Greatest, Mixed };

  ChosenDraws(Choice choice, std::uint64_t seed) : choice_(choice), state_(seed) {}

  template <class T>
  T ConsumeIntegralInRange(T least, T greatest) {
    const auto low = static_cast<std::uint64_t>(least);
    const std::uint64_t span = static_cast<std::uint64_t>(greatest) - low;
    Choice choice = choice_;
    if (choice == Choice::Mixed) {
      // Either end one time in eight, which is often enough to meet every branch and still
      // leaves many graphs valid.
      const std::uint64_t pick = next() % 16;
      if (pick > 1) {
        const std::uint64_t offset =
            span == std::numeric_limits<std::uint64_t>::max() ? next() : next() % (span + 1);
        return static_cast<T>(low + offset);
      }
      choice = pick == 0 ? Choice::Least : Choice::Greatest;
    }
    return choice == Choice::Least ? least : greatest;
  }

  template <class T>
  T ConsumeIntegral() {
    return ConsumeIntegralInRange(std::numeric_limits<T>::min(), std::numeric_limits<T>::max());
  }

  bool ConsumeBool() { return ConsumeIntegralInRange(0, 1) == 1; }

  std::string ConsumeRandomLengthString(std::size_t most) {
    return std::string(ConsumeIntegralInRange<std::size_t>(0, most), 'n');
  }

  template <class T>
  T ConsumeFloatingPoint() {
    return static_cast<T>(ConsumeIntegralInRange(-1, 1));
  }

private:
  std::uint64_t next() { return splitmix64_mix(++state_ * splitmix64_increment); }

  Choice choice_;
  std::uint64_t state_;
};

/// Entries of a schedule that grow with its tiles.
struct TileEntries {
  std::uint64_t layout_tiles = 0;
  /// Commands, each counted once for itself and once per operand it lists.
  std::uint64_t command_operands = 0;
  std::uint64_t transfers = 0;
  std::uint64_t allocations = 0;
};

TileEntries tile_entries(const Schedule& schedule) {
  TileEntries entries;
  for (const Layout& layout : schedule.layouts) {
    entries.layout_tiles += layout.tiles.size();
  }
  for (const Phase& phase : schedule.phases) {
    if (const auto* compute = std::get_if<Phase::Compute>(&phase.value)) {
      for (const KernelCommand& command : compute->commands) {
        entries.command_operands += 1 + command.inputs.size();
      }
    } else {
      entries.transfers += std::get<Phase::Exchange>(phase.value).transfers.size();
    }
  }
  entries.allocations = schedule.allocations.size();
  return entries;
}

/// What the decoder made over many seeds: the inputs that compiled, and the largest tile count
/// and layout among them.
struct Sweep {
  std::uint64_t compiled = 0;
  std::uint16_t largest_tile_count = 0;
  std::uint64_t largest_layout = 0;
};

/// Decodes inputs from `seeds` seeds, checking each against the budget and each schedule's
/// tile entries against the work measure, which must bound every one of them.
Sweep sweep(ChosenDraws::Choice choice, std::uint64_t seeds) {
  Sweep found;
  for (std::uint64_t seed = 0; seed < seeds; ++seed) {
    ChosenDraws draws(choice, seed);
    const fuzzing::GraphInput input = fuzzing::decode_graph_input(draws);
    const std::uint64_t work = tile_work(input.graph, input.options.tile_count);
    INFO("seed " << seed << ", " << input.options.tile_count << " tiles, work " << work);
    REQUIRE(work <= tile_work_budget);
    Result<Schedule> schedule = CompileError::graph("not compiled");
    try {
      schedule = compile(input.graph, input.options);
    } catch (const std::exception&) {
      continue; // sizes that overflow and outputs that name nothing; the fuzzer checks these
    }
    if (!schedule) {
      continue;
    }
    const TileEntries entries = tile_entries(*schedule);
    REQUIRE(entries.layout_tiles <= work);
    REQUIRE(entries.command_operands <= work);
    REQUIRE(entries.transfers <= work);
    REQUIRE(entries.allocations <= work);
    ++found.compiled;
    found.largest_tile_count = std::max(found.largest_tile_count, input.options.tile_count);
    for (const Layout& layout : schedule->layouts) {
      found.largest_layout = std::max<std::uint64_t>(found.largest_layout, layout.tiles.size());
    }
  }
  return found;
}

TEST_CASE("every decoded input stays within the tile budget, huge tile counts included", "[fuzz]") {
  (void)sweep(ChosenDraws::Choice::Least, 1);
  (void)sweep(ChosenDraws::Choice::Greatest, 1);
  const Sweep found = sweep(ChosenDraws::Choice::Mixed, 20000);
  CHECK(found.compiled >= 100);
  // Tile counts far past the usual ones; the exact largest differs between compilers.
  CHECK(found.largest_tile_count >= 32768);
  // Layouts past the usual tile counts, up to what the budget allows one tensor.
  CHECK(found.largest_layout > 4 * fuzzing::usual_tile_count);
}

TEST_CASE("the affordable tile count is the largest whose work fits the budget", "[fuzz]") {
  // 1 KiB per tile: a [tiles, 256] tensor fills `tiles` tiles.
  const auto chain = [](std::uint64_t rows, int operations) {
    Graph graph;
    TensorId tensor = graph.input("x", {rows, 256});
    for (int i = 0; i < operations; ++i) {
      tensor = testing::expect_value(graph.gelu("g" + std::to_string(i), tensor));
    }
    graph.mark_output(tensor);
    return graph;
  };
  // One command listing 5,000 operands is over the budget on a single tile.
  Graph many_operands = chain(4, 0);
  testing::append_unchecked_op(many_operands, "wide", OpKind{},
                               std::vector<TensorId>(5000, TensorId{0}), {1});
  struct Case {
    const char* what;
    Graph graph;
    std::uint16_t most;
    std::uint16_t affordable;
  };
  const Case cases[] = {
      {"an empty graph", Graph{}, 65535, 65535},
      {"small tensors fill a few tiles whatever the count", chain(4, 10), 65535, 65535},
      {"one large tensor: one tile of work per tile", chain(1U << 20U, 0), 65535, 4096},
      {"a large tensor and one reader: 4 tiles of work per tile", chain(1U << 20U, 1), 65535, 1024},
      {"a large tensor and three readers: 10 per tile", chain(1U << 20U, 3), 65535, 409},
      {"never past the count asked for", chain(1U << 20U, 1), 700, 700},
      {"the budget exactly", chain(1024, 1), 1024, 1024},
      {"none when one tile is over the budget", many_operands, 65535, 0},
  };
  for (const Case& each : cases) {
    CAPTURE(each.what);
    const std::uint16_t affordable = fuzzing::affordable_tile_count(each.graph, each.most);
    CHECK(affordable == each.affordable);
    if (affordable > 0) {
      CHECK(tile_work(each.graph, affordable) <= tile_work_budget);
    }
    if (affordable < each.most) {
      CHECK(tile_work(each.graph, static_cast<std::uint16_t>(affordable + 1)) > tile_work_budget);
    }
  }
}

TEST_CASE("ids that name nothing and sizes that overflow count every tile", "[fuzz]") {
  Graph graph;
  graph.mark_output(graph.input("x", {4}));
  // An operation on an id that names nothing, and a tensor whose byte count overflows.
  testing::append_unchecked_op(graph, "dangling", OpKind{}, {TensorId{99}}, {1});
  graph.tensors[0].shape = {std::numeric_limits<std::uint64_t>::max(), 2};
  graph.ops[0].output = TensorId{77};
  graph.tensors[1].id = TensorId{0}; // layouts go by position, not by the id a record carries
  // The overflowing tensor, the one-tile tensor, and the dangling output once for the commands
  // and once for the operand: 64 + 1 + 64 x 2.
  CHECK(tile_work(graph, 64) == 193);
}

} // namespace
} // namespace orvik_compiler
