// The compile driver: the worked example end to end, the failure order and the phase rules.

#include "compiler/every_kind_graph.hpp"
#include "test_support.hpp"
#include "testing/hand_made_ops.hpp"

#include <set>
#include <string>

namespace orvik_compiler {
namespace {

using testing::expect_error;
using testing::expect_value;

std::vector<std::uint16_t> run(std::uint16_t first, std::uint16_t last) {
  std::vector<std::uint16_t> tiles;
  for (std::uint16_t tile = first; tile <= last; ++tile) {
    tiles.push_back(tile);
  }
  return tiles;
}

TEST_CASE("the matmul example compiles to its exact schedule", "[compile]") {
  Graph graph;
  const TensorId x = graph.input("x", {4, 8});
  const TensorId w = graph.weight("w", {8, 512});
  const TensorId y = expect_value(graph.matmul("y", x, w));
  graph.mark_output(y);
  const Schedule schedule = expect_value(compile(graph, CompilerOptions{}));
  CHECK(testing::broken_rule(graph, CompilerOptions{}, schedule).empty());

  CHECK(schedule.layouts == std::vector<Layout>{{x, run(0, 0), Sharding::Rows, 16},
                                                {w, run(0, 15), Sharding::Columns, 16},
                                                {y, run(0, 7), Sharding::Rows, 16}});
  std::vector<Transfer> transfers;
  for (std::uint16_t tile = 1; tile <= 7; ++tile) {
    transfers.push_back(Transfer{0, tile, x, 128});
  }
  std::vector<KernelCommand> commands;
  for (std::uint16_t tile = 0; tile <= 7; ++tile) {
    commands.push_back(
        KernelCommand{tile,
                      y,
                      {x, w},
                      SpecializationKey{"matmul", {4, 512}, 6, tile == 7 ? "tail" : "body", 16}});
  }
  CHECK(schedule.phases ==
        std::vector<Phase>{Phase::Exchange{transfers}, Phase::Compute{OpId{0}, commands}});

  std::vector<Allocation> allocations{{x, 0, 0x52000, 128, 0, 1}, {w, 0, 0x52080, 1024, 0, 1}};
  for (std::uint16_t tile = 1; tile <= 15; ++tile) {
    allocations.push_back(Allocation{w, tile, 0x52000, 1024, 0, 1});
  }
  allocations.push_back(Allocation{y, 0, 0x52480, 1024, 1, 2});
  for (std::uint16_t tile = 1; tile <= 7; ++tile) {
    allocations.push_back(Allocation{y, tile, 0x52400, 1024, 1, 2});
  }
  CHECK(schedule.allocations == allocations);

  std::map<std::uint16_t, std::uint32_t> peaks{{0, 0x880}};
  for (std::uint16_t tile = 1; tile <= 15; ++tile) {
    peaks[tile] = tile <= 7 ? 0x800 : 0x400;
  }
  CHECK(schedule.peak_sram == peaks);
  CHECK(schedule.tile_count == 64);
  CHECK(compile(graph, CompilerOptions{}) == schedule);
}

TEST_CASE("the graph is checked before the options", "[compile]") {
  Graph graph;
  graph.mark_output(graph.input("x", {4}));
  const CompileError invalid_options = CompileError::graph("invalid compiler options");
  CHECK(expect_error(compile(graph, CompilerOptions{0, 0, 16})) == invalid_options);
  CHECK(expect_error(compile(graph, CompilerOptions{4, 16, 16})) == invalid_options);
  CHECK(expect_error(compile(graph, CompilerOptions{4, 17, 16})) == invalid_options);
  CHECK(expect_error(compile(Graph{}, CompilerOptions{0, 16, 16})) ==
        CompileError::graph("graph has no outputs"));
  // Options are compared only with each other: a window at address 0 is fine.
  CHECK(compile(graph, CompilerOptions{1, 0, 16}).has_value());
}

TEST_CASE("an input on fewer tiles than the output moves round-robin", "[compile]") {
  Graph graph;
  const TensorId x = graph.input("x", {4}); // one tile
  const TensorId y =
      testing::append_unchecked_op(graph, "spread", OpKind::Gelu{}, {x}, {700}); // three tiles
  graph.mark_output(y);
  const Schedule schedule = expect_value(compile(graph, CompilerOptions{}));
  CHECK(testing::broken_rule(graph, CompilerOptions{}, schedule).empty());
  REQUIRE(schedule.phases.size() == 2);
  CHECK(schedule.phases[0] ==
        Phase{Phase::Exchange{{Transfer{0, 1, x, 16}, Transfer{0, 2, x, 16}}}});
  const auto& compute = std::get<Phase::Compute>(schedule.phases[1].value);
  REQUIRE(compute.commands.size() == 3);
  CHECK(compute.commands[0].specialization.role == "body");
  CHECK(compute.commands[2].specialization.role == "tail");
  // x is read by the exchange at phase 0 and the compute at phase 1.
  CHECK(schedule.allocations[0].live_until == 1);
}

TEST_CASE("two moving inputs share one exchange, the first input's transfers first", "[compile]") {
  Graph graph;
  const TensorId a = graph.input("a", {4});   // one tile
  const TensorId b = graph.input("b", {300}); // two tiles
  const TensorId c =
      testing::append_unchecked_op(graph, "c", OpKind::Add{}, {a, b}, {1000}); // four tiles
  graph.mark_output(c);
  const Schedule schedule = expect_value(compile(graph, CompilerOptions{}));
  CHECK(testing::broken_rule(graph, CompilerOptions{}, schedule).empty());
  REQUIRE(schedule.phases.size() == 2);
  CHECK(schedule.phases[0] == Phase{Phase::Exchange{{
                                  Transfer{0, 1, a, 16},
                                  Transfer{0, 2, a, 16},
                                  Transfer{0, 3, a, 16},
                                  Transfer{0, 2, b, 600},
                                  Transfer{1, 3, b, 600},
                              }}});
}

TEST_CASE("inputs on as many tiles as the output never move", "[compile]") {
  Graph graph;
  const TensorId x = graph.input("x", {32, 64});
  const TensorId w = graph.weight("w", {64, 64}); // Columns on 16 tiles
  const TensorId y = expect_value(graph.matmul("y", x, w));
  const TensorId z = expect_value(graph.gelu("z", y));
  const TensorId t =
      testing::append_unchecked_op(graph, "t", OpKind::Gelu{}, {w}, {32, 64}); // Rows, 8 tiles
  graph.mark_output(z);
  graph.mark_output(t);
  const Schedule schedule = expect_value(compile(graph, CompilerOptions{}));
  CHECK(testing::broken_rule(graph, CompilerOptions{}, schedule).empty());
  CHECK(schedule.phases.size() == graph.ops.size());
}

TEST_CASE("an input read more than once moves once, and the schedule verifies", "[compile]") {
  // Each op reads a one-tile input twice into an output on more tiles; a second send of one
  // tensor to one tile in an exchange would be refused by the exchange check.
  Graph graph;
  const TensorId x = graph.input("x", {256});                              // 1 KiB: one tile
  const TensorId cube = graph.input("cube", {2, 4, 4});                    // one tile
  const TensorId joined = expect_value(graph.concat("joined", {x, x}, 0)); // two tiles
  const TensorId squared =
      testing::append_unchecked_op(graph, "squared", OpKind::Mul{}, {x, x}, {700}); // three tiles
  const TensorId batched = testing::append_unchecked_op(graph, "batched", OpKind::BatchMatMul{},
                                                        {cube, cube}, {2, 4, 128}); // four tiles
  for (const TensorId output : {joined, squared, batched}) {
    graph.mark_output(output);
  }
  const Schedule schedule = expect_value(compile(graph, CompilerOptions{}));
  CHECK(testing::broken_rule(graph, CompilerOptions{}, schedule).empty());
  REQUIRE(schedule.phases.size() == 6);
  CHECK(schedule.phases[0] == Phase{Phase::Exchange{{Transfer{0, 1, x, 1024}}}});
  CHECK(schedule.phases[2] ==
        Phase{Phase::Exchange{{Transfer{0, 1, x, 1024}, Transfer{0, 2, x, 1024}}}});
  CHECK(schedule.phases[4] ==
        Phase{Phase::Exchange{
            {Transfer{0, 1, cube, 128}, Transfer{0, 2, cube, 128}, Transfer{0, 3, cube, 128}}}});
  // The commands still carry every operand, repeats included.
  const auto& commands = std::get<Phase::Compute>(schedule.phases[1].value).commands;
  REQUIRE(commands.size() == 2);
  CHECK(commands[1].inputs == std::vector<TensorId>{x, x});
}

TEST_CASE("a graph of every kind and both element types compiles and verifies on 1, 64 and "
          "1472 tiles",
          "[compile]") {
  const Graph graph = testing::every_kind_graph();
  const CompilerOptions targets[] = {CompilerOptions{1, 0x52000, 0xE0000}, CompilerOptions{},
                                     CompilerOptions{1472, 0x52000, 0xE0000}};
  for (const CompilerOptions& options : targets) {
    INFO(options.tile_count << " tiles");
    const Schedule schedule = expect_value(compile(graph, options));
    CHECK(testing::broken_rule(graph, options, schedule).empty());
    std::set<std::string> kernels;
    std::size_t exchanges = 0;
    for (const Phase& phase : schedule.phases) {
      const auto* compute = std::get_if<Phase::Compute>(&phase.value);
      if (compute == nullptr) {
        ++exchanges;
        continue;
      }
      const Op& op = graph.ops[compute->op.index];
      for (const KernelCommand& command : compute->commands) {
        CHECK(command.specialization.operation == operation_name(op.kind));
        kernels.insert(command.specialization.operation);
      }
    }
    CHECK(kernels == testing::every_kernel_name());
    // A single tile never exchanges; on more tiles the joins' operands move.
    CHECK((exchanges == 0) == (options.tile_count == 1));
    // I32 tensors take four bytes an element, as F32 ones do: the [4, 16] ids fit one tile.
    const Tensor& ids = graph.tensors[0];
    REQUIRE(ids.dtype == DType::I32);
    CHECK(local_bytes(ids, schedule.layouts[0]) == 256);
  }
}

TEST_CASE("a single tile holds everything and needs no exchange", "[compile]") {
  Graph graph;
  const TensorId x = graph.input("x", {32, 64});
  const TensorId w = graph.weight("w", {64, 128});
  graph.mark_output(expect_value(graph.matmul("y", x, w)));
  const Schedule schedule = expect_value(compile(graph, CompilerOptions{1, 0x52000, 0xE0000}));
  CHECK(testing::broken_rule(graph, CompilerOptions{1, 0x52000, 0xE0000}, schedule).empty());
  CHECK(schedule.phases.size() == 1);
  const auto& commands = std::get<Phase::Compute>(schedule.phases[0].value).commands;
  REQUIRE(commands.size() == 1);
  CHECK(commands[0].tile == 0);
  CHECK(commands[0].specialization.role == "tail");
  CHECK(schedule.peak_sram == std::map<std::uint16_t, std::uint32_t>{{0, 8192 + 32768 + 16384}});
}

} // namespace
} // namespace orvik_compiler
