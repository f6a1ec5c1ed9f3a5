// Hostile sizes: every one gives a schedule, a CompileError or a documented standard exception.

#include "test_support.hpp"
#include "testing/generated_graphs.hpp"

#include <limits>

namespace orvik_compiler {
namespace {

using testing::expect_error;
using testing::expect_value;

constexpr std::uint64_t max64 = std::numeric_limits<std::uint64_t>::max();

Graph single_input(std::vector<std::uint64_t> shape) {
  Graph graph;
  graph.mark_output(graph.input("x", std::move(shape)));
  return graph;
}

TEST_CASE("extents near 2^64 overflow loudly or fail planning, never wrap", "[hostile]") {
  CHECK_THROWS_AS(compile(single_input({max64}), CompilerOptions{}), std::overflow_error);
  CHECK_THROWS_AS(compile(single_input({std::uint64_t{1} << 62U}), CompilerOptions{}),
                  std::overflow_error); // 2^64 bytes
  CHECK_THROWS_AS(
      compile(single_input({std::uint64_t{1} << 32U, std::uint64_t{1} << 32U}), CompilerOptions{}),
      std::overflow_error);
  // 2^63 bytes fit 64 bits: the shares are too large for any tile.
  CHECK(expect_error(compile(single_input({std::uint64_t{1} << 61U}), CompilerOptions{})) ==
        CompileError::memory("tile 0 exceeds data limit allocating x"));
  // Shape rules compare extents without arithmetic, so huge operands still build.
  Graph graph;
  const TensorId a = graph.input("a", {max64, 2});
  const TensorId b = graph.input("b", {2, max64});
  CHECK(graph.tensors[expect_value(graph.matmul("m", a, b)).index].shape ==
        std::vector<std::uint64_t>{max64, max64});
}

TEST_CASE("a one-tile share within an alignment of 2^64 exceeds the limit, never wraps to 0",
          "[hostile]") {
  // 4 x (2^62 - 3) = 2^64 - 12 bytes on one tile: rounding that share up to 16 would wrap.
  const Graph graph = single_input({(std::uint64_t{1} << 62U) - 3});
  CHECK(expect_error(compile(graph, CompilerOptions{1, 0x52000, 0xE0000})) ==
        CompileError::memory("tile 0 exceeds data limit allocating x"));
}

TEST_CASE("planning a graph whose tensor ids are not their positions reads inside its arrays",
          "[hostile]") {
  Graph graph;
  const TensorId x = graph.input("x", {4});
  graph.mark_output(expect_value(graph.gelu("y", x)));
  const std::vector<Layout> layouts{choose_layout(graph.tensors[0], 4),
                                    choose_layout(graph.tensors[1], 4)};
  const std::vector<Phase> phases{Phase{Phase::Compute{OpId{0}, {}}}};
  graph.tensors[0].id = TensorId{1000};
  graph.tensors[1].id = TensorId{2000};
  // Shares are placed by position; each record keeps the id its tensor carries.
  const std::vector<Allocation> allocations =
      expect_value(plan_memory(graph, layouts, phases, CompilerOptions{}));
  REQUIRE(allocations.size() == 2);
  CHECK(allocations[0].tensor == TensorId{1000});
  CHECK(allocations[1].address == 0x52010);
  // An id in an operation or the outputs that names no tensor is a fatal stop.
  graph.ops[0].output = TensorId{2000};
  CHECK_THROWS_AS(plan_memory(graph, layouts, phases, CompilerOptions{}), std::out_of_range);
}

TEST_CASE("the largest tile count spreads a big tensor over every tile", "[hostile]") {
  const CompilerOptions options{65535, 0x52000, 0xE0000};
  const Graph graph = single_input({std::uint64_t{1} << 24U}); // 64 MiB
  const Schedule schedule = expect_value(compile(graph, options));
  CHECK(schedule.allocations.size() == 65535);
  CHECK(schedule.peak_sram.size() == 65535);
  CHECK(schedule.peak_sram.at(65534) == 1040); // 1025 bytes padded to 16
  CHECK(testing::broken_rule(graph, options, schedule).empty());
  const Graph encoder = expect_value(encoder_graph(EncoderConfig{}));
  CHECK(compile(encoder, options).has_value());
}

TEST_CASE("windows of one byte and at the top of the 32-bit range", "[hostile]") {
  const Graph encoder = expect_value(encoder_graph(EncoderConfig{}));
  CHECK(expect_error(compile(encoder, CompilerOptions{64, 0x1000, 0x1001})) ==
        CompileError::memory("tile 0 exceeds data limit allocating input"));
  constexpr std::uint32_t top = std::numeric_limits<std::uint32_t>::max();
  // The first block's end passes 2^32 before the limit is even tested.
  CHECK(expect_error(compile(encoder, CompilerOptions{64, top - 1, top})) ==
        CompileError::memory("address overflow"));
  // A window of 64 KiB just below 2^32 holds the encoder; one starting 4 KiB below does not,
  // and the search stops at the top instead of wrapping.
  const Schedule high = expect_value(compile(encoder, CompilerOptions{64, top - 0xFFFF, top}));
  CHECK(testing::broken_rule(encoder, CompilerOptions{64, top - 0xFFFF, top}, high).empty());
  CHECK(expect_error(compile(encoder, CompilerOptions{64, top - 0xFFF, top})) ==
        CompileError::memory("address overflow"));
}

TEST_CASE("a graph of 100,000 operations compiles", "[hostile]") {
  Graph graph;
  TensorId last = graph.input("x", {4});
  for (int i = 0; i < 100000; ++i) {
    last = expect_value(graph.gelu("g", last));
  }
  graph.mark_output(last);
  const Schedule schedule = expect_value(compile(graph, CompilerOptions{}));
  CHECK(schedule.phases.size() == 100000);
  CHECK(schedule.allocations.size() == 100001);
  // Each value lives for two phases, so two blocks take turns on tile 0.
  CHECK(schedule.peak_sram.at(0) == 32);
}

} // namespace
} // namespace orvik_compiler
