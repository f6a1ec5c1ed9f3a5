// The schedule records: defaults, equality and the exact debug text.

#include "test_support.hpp"

namespace orvik_compiler {
namespace {

using testing::debug;

KernelCommand add_command() {
  return KernelCommand{
      0, TensorId{2}, {TensorId{0}, TensorId{1}}, SpecializationKey{"add", {4, 8}, 1, "tail", 16}};
}

TEST_CASE("default options are 64 tiles and the window 0x52000 to 0xE0000", "[schedule]") {
  const CompilerOptions options{};
  CHECK(options.tile_count == 64);
  CHECK(options.data_base == 0x52000);
  CHECK(options.data_limit == 0xE0000);
  CHECK(debug(options) ==
        "CompilerOptions { tile_count: 64, data_base: 335872, data_limit: 917504 }");
}

TEST_CASE("records print in the structural form", "[schedule][debug]") {
  CHECK(debug(Transfer{0, 8, TensorId{2}, 1024}) ==
        "Transfer { source_tile: 0, destination_tile: 8, tensor: TensorId(2), bytes: 1024 }");
  CHECK(debug(Layout{TensorId{5}, {0, 1, 2, 3}, Sharding::Rows, 16}) ==
        "Layout { tensor: TensorId(5), tiles: [0, 1, 2, 3], sharding: Rows, alignment: 16 }");
  CHECK(debug(add_command()) ==
        "KernelCommand { tile: 0, output: TensorId(2), inputs: [TensorId(0), TensorId(1)], "
        "specialization: SpecializationKey { operation: \"add\", shape: [4, 8], worker_count: 1, "
        "role: \"tail\", alignment: 16 } }");
  CHECK(debug(Allocation{TensorId{1}, 3, 0x52000, 112, 1, 3}) ==
        "Allocation { tensor: TensorId(1), tile: 3, address: 335872, size: 112, live_from: 1, "
        "live_until: 3 }");
  CHECK(debug(Phase{Phase::Exchange{{Transfer{0, 1, TensorId{0}, 16}}}}) ==
        "Exchange { transfers: [Transfer { source_tile: 0, destination_tile: 1, tensor: "
        "TensorId(0), bytes: 16 }] }");
  CHECK(debug(Phase{Phase::Compute{OpId{2}, {}}}) == "Compute { op: OpId(2), commands: [] }");
  CHECK(debug(Sharding::Replicated) == "Replicated");
  CHECK(debug(Sharding::Columns) == "Columns");
  CHECK(debug(Sharding::Heads) == "Heads");
}

TEST_CASE("a schedule prints every field and its peak table in tile order", "[schedule][debug]") {
  Schedule schedule;
  schedule.layouts = {Layout{TensorId{0}, {0}, Sharding::Replicated, 16}};
  schedule.tile_count = 2;
  schedule.peak_sram[1] = 32;
  schedule.peak_sram[0] = 16;
  CHECK(debug(schedule) ==
        "Schedule { layouts: [Layout { tensor: TensorId(0), tiles: [0], sharding: Replicated, "
        "alignment: 16 }], phases: [], allocations: [], tile_count: 2, peak_sram: {0: 16, 1: 32} "
        "}");
  CHECK(debug(Schedule{}) ==
        "Schedule { layouts: [], phases: [], allocations: [], tile_count: 0, peak_sram: {} }");
  // Strings use the escapes of the error text.
  SpecializationKey key{"a\"b\n", {}, 6, "body", 16};
  CHECK(debug(key) == "SpecializationKey { operation: \"a\\\"b\\n\", shape: [], worker_count: 6, "
                      "role: \"body\", alignment: 16 }");
}

TEST_CASE("equality compares every field, and phases by variant first", "[schedule]") {
  CHECK(Phase{Phase::Exchange{}} != Phase{Phase::Compute{}});
  CHECK(Phase{Phase::Compute{OpId{1}, {add_command()}}} ==
        Phase{Phase::Compute{OpId{1}, {add_command()}}});

  Schedule left;
  left.allocations = {Allocation{TensorId{0}, 0, 16, 16, 0, 3}};
  Schedule right = left;
  CHECK(left == right);
  right.allocations[0].live_until = 4;
  CHECK(left != right);

  Schedule first;
  Schedule second;
  first.peak_sram.emplace(3, 1);
  first.peak_sram.emplace(1, 2);
  second.peak_sram.emplace(1, 2);
  second.peak_sram.emplace(3, 1);
  CHECK(first == second);
  CHECK(debug(first) == debug(second));
}

} // namespace
} // namespace orvik_compiler
