// The schedule verifier: everything compile makes passes, and every single break is rejected
// with its own rule's diagnostic.

#include "compiler/every_kind_graph.hpp"
#include "test_support.hpp"
#include "testing/encoder_stack.hpp"

#include <functional>
#include <iterator>
#include <set>
#include <string>

namespace orvik_compiler {
namespace {

using testing::broken_rule;
using testing::expect_value;

/// The default encoder compiled with the default options: 17 phases, 360 allocations.
struct Compiled {
  Graph graph = expect_value(encoder_graph(EncoderConfig{}));
  Schedule schedule = expect_value(compile(graph, CompilerOptions{}));

  std::size_t allocation_of(std::string_view tensor, std::uint16_t tile) const {
    for (std::size_t i = 0; i < schedule.allocations.size(); ++i) {
      const Allocation& block = schedule.allocations[i];
      if (graph.tensors[block.tensor.index].name == tensor && block.tile == tile) {
        return i;
      }
    }
    throw std::logic_error("no such allocation");
  }

  Phase::Compute& compute(std::size_t phase) {
    return std::get<Phase::Compute>(schedule.phases[phase].value);
  }
  Phase::Exchange& exchange(std::size_t phase) {
    return std::get<Phase::Exchange>(schedule.phases[phase].value);
  }
};

TEST_CASE("schedules that compile makes pass the verifier", "[verify]") {
  const Compiled compiled;
  CHECK(broken_rule(compiled.graph, CompilerOptions{}, compiled.schedule).empty());
  struct Stack {
    EncoderConfig config;
    std::size_t layers;
    CompilerOptions options;
  };
  const Stack stacks[] = {{{128, 768, 12, 3072}, 2, {1472, 0x52000, 0xE0000}},
                          {EncoderConfig{}, 24, {4, 0x10000, 0x4000000}},
                          {EncoderConfig{}, 3, {1, 0x52001, 0x100000}}};
  for (const Stack& stack : stacks) {
    const Graph graph = expect_value(testing::encoder_stack(stack.config, stack.layers));
    const Schedule schedule = expect_value(compile(graph, stack.options));
    INFO(stack.layers << " layers on " << stack.options.tile_count << " tiles");
    CHECK(broken_rule(graph, stack.options, schedule).empty());
  }
}

TEST_CASE("each broken rule is reported with its own diagnostic", "[verify]") {
  struct Mutation {
    const char* what;
    std::function<void(Compiled&)> apply;
    const char* message;
  };
  const std::vector<Mutation> mutations{
      {"options of another target", [](Compiled& c) { c.schedule.tile_count = 32; },
       "the schedule is for 32 tiles, the options for 64"},
      {"a layout missing", [](Compiled& c) { c.schedule.layouts.pop_back(); },
       "the schedule has 21 layouts for 22 tensors"},
      {"a layout for another tensor",
       [](Compiled& c) { c.schedule.layouts[3].tensor = TensorId{4}; },
       "layout 3 is for tensor 4, not for tensor \"wv\""},
      {"a layout tile past tile_count", [](Compiled& c) { c.schedule.layouts[0].tiles[1] = 64; },
       "layout 0 (tensor \"input\") names tile 64, past the 64-tile target"},
      {"a layout naming a tile twice", [](Compiled& c) { c.schedule.layouts[0].tiles[1] = 0; },
       "layout 0 (tensor \"input\") names tile 0 twice"},
      {"an alignment that is not a power of two",
       [](Compiled& c) { c.schedule.layouts[0].alignment = 24; },
       "layout 0 (tensor \"input\") has alignment 24, not a power of two"},
      {"a command on a tile past tile_count",
       [](Compiled& c) { c.compute(0).commands[0].tile = 70; },
       "phase 0 command 0 runs on tile 70, past the 64-tile target"},
      {"a transfer of a tensor the graph does not have",
       [](Compiled& c) { c.exchange(7).transfers[0].tensor = TensorId{99}; },
       "phase 7 transfer 0 moves tensor 99, which the graph does not have"},
      {"phases reordered",
       [](Compiled& c) {
         c.schedule.phases.insert(c.schedule.phases.begin(), c.schedule.phases[1]);
         c.schedule.phases.erase(c.schedule.phases.begin() + 2);
       },
       "phase 0 computes op \"q\" where op \"norm1\" comes next"},
      {"an op without its compute phase", [](Compiled& c) { c.schedule.phases.pop_back(); },
       "op \"ffn_residual\" has no compute phase"},
      {"two commands swapped",
       [](Compiled& c) {
         auto& commands = c.compute(1).commands;
         std::swap(commands[0], commands[1]);
       },
       "phase 1 (op \"q\") command 0 runs on tile 1, not on tile 0 of the output layout"},
      {"a command missing", [](Compiled& c) { c.compute(1).commands.pop_back(); },
       "phase 1 (op \"q\") has 7 commands for 8 output tiles"},
      {"a command with other inputs",
       [](Compiled& c) { c.compute(1).commands[2].inputs.pop_back(); },
       "phase 1 (op \"q\") command 2 does not carry the op's output and inputs"},
      {"two tails", [](Compiled& c) { c.compute(1).commands[0].specialization.role = "tail"; },
       "phase 1 (op \"q\") command 0 has the role \"tail\", not \"body\"; the last command "
       "alone is the \"tail\""},
      {"no tail", [](Compiled& c) { c.compute(1).commands[7].specialization.role = "body"; },
       "phase 1 (op \"q\") command 7 has the role \"body\", not \"tail\"; the last command "
       "alone is the \"tail\""},
      // Every role is compared whole, escaped as the debug text escapes names.
      {"a body role that clears the screen",
       [](Compiled& c) { c.compute(1).commands[2].specialization.role = "\x1b[2J\x1b[31mtail"; },
       "phase 1 (op \"q\") command 2 has the role \"\\u{1b}[2J\\u{1b}[31mtail\", not \"body\"; "
       "the last command alone is the \"tail\""},
      {"a body role of a tail with a NUL and more",
       [](Compiled& c) {
         c.compute(1).commands[3].specialization.role = std::string("tail\0x", 6);
       },
       "phase 1 (op \"q\") command 3 has the role \"tail\\0x\", not \"body\"; the last command "
       "alone is the \"tail\""},
      {"a body role in capitals",
       [](Compiled& c) { c.compute(1).commands[0].specialization.role = "BODY"; },
       "phase 1 (op \"q\") command 0 has the role \"BODY\", not \"body\"; the last command "
       "alone is the \"tail\""},
      {"a key with the wrong worker count",
       [](Compiled& c) { c.compute(1).commands[3].specialization.worker_count = 1; },
       "phase 1 (op \"q\") command 3 has the key SpecializationKey { operation: \"matmul\", "
       "shape: [32, 64], worker_count: 1, role: \"body\", alignment: 16 }, expected "
       "SpecializationKey { operation: \"matmul\", shape: [32, 64], worker_count: 6, role: "
       "\"body\", alignment: 16 }"},
      {"an exchange at the end",
       [](Compiled& c) { c.schedule.phases.push_back(c.schedule.phases[7]); },
       "phase 17 is an exchange not directly followed by a compute phase"},
      {"an exchange that sends twice to one tile",
       [](Compiled& c) { c.exchange(7).transfers[1].destination_tile = 4; },
       "phase 7: multiple sends target one tensor region in an epoch"},
      {"a transfer dropped", [](Compiled& c) { c.exchange(7).transfers.pop_back(); },
       "phase 7 has 3 transfers, but op \"attention_context\" needs 4"},
      {"a transfer from another source",
       [](Compiled& c) { c.exchange(12).transfers[0].source_tile = 7; },
       "phase 12 transfer 0 is Transfer { source_tile: 7, destination_tile: 8, tensor: "
       "TensorId(17), bytes: 1024 }, but op \"ffn_up\" needs Transfer { source_tile: 0, "
       "destination_tile: 8, tensor: TensorId(17), bytes: 1024 }"},
      {"an exchange phase removed",
       [](Compiled& c) { c.schedule.phases.erase(c.schedule.phases.begin() + 7); },
       "op \"attention_context\" needs 4 transfers, but no exchange phase precedes phase 7"},
      {"an allocation missing", [](Compiled& c) { c.schedule.allocations.pop_back(); },
       "the schedule has 359 allocations for 360 shares"},
      {"allocations out of placement order",
       [](Compiled& c) { std::swap(c.schedule.allocations[0], c.schedule.allocations[1]); },
       "allocation 0 is for tensor 0 on tile 1, but the share in its place is tensor \"input\" "
       "on tile 0"},
      {"an allocation of the wrong size", [](Compiled& c) { c.schedule.allocations[0].size = 16; },
       "allocation 0 (tensor \"input\" on tile 0) has size 16, but the share padded to 16 is 1024 "
       "bytes"},
      {"an allocation past the window",
       [](Compiled& c) { c.schedule.allocations[0].address = 0xE0000 - 0x200; },
       "allocation 0 (tensor \"input\" on tile 0) at bytes 0xdfe00..0xe0200 lies outside the "
       "data window 0x52000..0xe0000"},
      {"an unaligned allocation", [](Compiled& c) { c.schedule.allocations[0].address = 0x52008; },
       "allocation 0 (tensor \"input\" on tile 0) at 0x52008 is neither aligned to 16 nor at the "
       "window base"},
      {"a lifetime that runs backwards",
       [](Compiled& c) {
         Allocation& block = c.schedule.allocations[0];
         block.live_from = block.live_until + 1;
       },
       "allocation 0 (tensor \"input\" on tile 0) has the lifetime 11..10, which runs backwards"},
      {"a lifetime shortened by one phase",
       [](Compiled& c) { c.schedule.allocations[c.allocation_of("norm1", 2)].live_until -= 1; },
       "allocation 202 (tensor \"norm1\" on tile 2) is live until phase 2, but the tensor is read "
       "at phase 3"},
      {"an output's lifetime shortened",
       [](Compiled& c) { c.schedule.allocations.back().live_until -= 1; },
       "allocation 359 (tensor \"ffn_residual\" on tile 7) is live until phase 16, but the tensor "
       "is a graph output, live until the phase count 17"},
      {"a block live before its tensor is written",
       [](Compiled& c) { c.schedule.allocations[c.allocation_of("q", 0)].live_from += 1; },
       "allocation 208 (tensor \"q\" on tile 0) becomes live at phase 2, but the tensor is "
       "written at phase 1"},
      {"an allocation moved onto a live neighbour",
       [](Compiled& c) {
         const Allocation norm1 = c.schedule.allocations[c.allocation_of("norm1", 3)];
         c.schedule.allocations[c.allocation_of("q", 3)].address = norm1.address;
       },
       "allocation 211 (tensor \"q\" on tile 3) overlaps allocation 203 (tensor \"norm1\") at "
       "bytes 0x53c00..0x54000 during phases 1..3"},
      {"a peak changed", [](Compiled& c) { c.schedule.peak_sram[5] += 16; },
       "peak_sram of tile 5 is 0x2410, but its highest block ends 0x2400 above the window base"},
      {"a peak missing", [](Compiled& c) { c.schedule.peak_sram.erase(63); },
       "peak_sram has no entry for tile 63, which holds allocations"},
  };
  for (const Mutation& mutation : mutations) {
    INFO(mutation.what);
    Compiled compiled;
    mutation.apply(compiled);
    CHECK(broken_rule(compiled.graph, CompilerOptions{}, compiled.schedule) == mutation.message);
  }
}

TEST_CASE("the verifier knows every kind by its kernel name and no other", "[verify]") {
  const Graph graph = testing::every_kind_graph();
  const Schedule schedule = expect_value(compile(graph, CompilerOptions{}));
  REQUIRE(broken_rule(graph, CompilerOptions{}, schedule).empty());
  const std::set<std::string> names = testing::every_kernel_name();
  std::set<std::string> checked;
  for (std::size_t p = 0; p < schedule.phases.size(); ++p) {
    if (!std::holds_alternative<Phase::Compute>(schedule.phases[p].value)) {
      continue;
    }
    // The last command of the op renamed to the kernel name that follows its own in the table.
    Schedule renamed = schedule;
    auto& commands = std::get<Phase::Compute>(renamed.phases[p].value).commands;
    std::string& operation = commands.back().specialization.operation;
    auto next = std::next(names.find(operation));
    const std::string wrong = next == names.end() ? *names.begin() : *next;
    checked.insert(operation);
    operation = wrong;
    const Op& op = graph.ops[std::get<Phase::Compute>(schedule.phases[p].value).op.index];
    INFO(op.name);
    const std::string prefix = "phase " + std::to_string(p) + " (op \"" + op.name + "\") command " +
                               std::to_string(commands.size() - 1) +
                               " has the key SpecializationKey { operation: \"" + wrong + "\"";
    CHECK(broken_rule(graph, CompilerOptions{}, renamed).rfind(prefix, 0) == 0);
  }
  CHECK(checked == names);
}

TEST_CASE("an operand read more than once must move once", "[verify]") {
  // The three-way concat reads one tensor on fewer tiles than its output: its exchange holds
  // each missing share once, and a repeated send is refused like any other.
  const Graph graph = testing::every_kind_graph();
  const Schedule schedule = expect_value(compile(graph, CompilerOptions{}));
  std::size_t concat_exchange = schedule.phases.size();
  for (std::size_t p = 0; p + 1 < schedule.phases.size(); ++p) {
    const auto* compute = std::get_if<Phase::Compute>(&schedule.phases[p + 1].value);
    if (compute != nullptr && graph.ops[compute->op.index].name == "concat" &&
        std::holds_alternative<Phase::Exchange>(schedule.phases[p].value)) {
      concat_exchange = p;
    }
  }
  REQUIRE(concat_exchange < schedule.phases.size());
  const std::string where = "phase " + std::to_string(concat_exchange);
  const auto& transfers =
      std::get<Phase::Exchange>(schedule.phases[concat_exchange].value).transfers;
  REQUIRE_FALSE(transfers.empty());

  Schedule repeated = schedule;
  auto& repeated_transfers =
      std::get<Phase::Exchange>(repeated.phases[concat_exchange].value).transfers;
  repeated_transfers.push_back(repeated_transfers.front());
  CHECK(broken_rule(graph, CompilerOptions{}, repeated) ==
        where + ": multiple sends target one tensor region in an epoch");

  Schedule dropped = schedule;
  std::get<Phase::Exchange>(dropped.phases[concat_exchange].value).transfers.pop_back();
  CHECK(broken_rule(graph, CompilerOptions{}, dropped) ==
        where + " has " + std::to_string(transfers.size() - 1) +
            " transfers, but op \"concat\" needs " + std::to_string(transfers.size()));
}

TEST_CASE("the graph and the options are verified first", "[verify]") {
  Compiled compiled;
  CHECK(broken_rule(compiled.graph, CompilerOptions{0, 0x52000, 0xE0000}, compiled.schedule) ==
        "invalid compiler options");
  compiled.graph.outputs.clear();
  compiled.schedule.tile_count = 0;
  CHECK(broken_rule(compiled.graph, CompilerOptions{}, compiled.schedule) ==
        "graph has no outputs");
}

TEST_CASE("malformed schedules get a diagnostic, never a throw", "[verify]") {
  const Compiled compiled;
  const auto verdict = [&](const Schedule& schedule) {
    return broken_rule(compiled.graph, CompilerOptions{}, schedule);
  };
  CHECK(verdict(Schedule{}) == "the schedule is for 0 tiles, the options for 64");
  Schedule empty_layout = compiled.schedule;
  empty_layout.layouts[5].tiles.clear();
  CHECK(verdict(empty_layout) == "layout 5 (tensor \"w1\") has no tiles");
  Schedule unknown_op = compiled.schedule;
  std::get<Phase::Compute>(unknown_op.phases[3].value).op = OpId{1U << 31U};
  CHECK(verdict(unknown_op) == "phase 3 computes op 2147483648, which the graph does not have");
  Schedule huge = compiled.schedule;
  huge.allocations[9].address = 0xFFFFFFF0U;
  huge.allocations[9].size = 0xFFFFFFFFU;
  huge.allocations[9].live_until = ~std::uint64_t{0};
  CHECK_FALSE(verdict(huge).empty());
  Schedule extra_peak = compiled.schedule;
  extra_peak.peak_sram[64] = 0;
  CHECK(verdict(extra_peak) == "peak_sram has an entry for tile 64, which holds no allocation");
}

} // namespace
} // namespace orvik_compiler
