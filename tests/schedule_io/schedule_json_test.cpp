// The schedule JSON writer: its exact layout, and the bound of its length that the tool's memory
// budget relies on.

#include "schedule_io/schedule_counts.hpp"
#include "schedule_io/schedule_json.hpp"
#include "schedule_io/view_workloads.hpp"

#include <orvik_compiler/orvik_compiler.hpp>

#include <catch2/catch.hpp>

#include <limits>

namespace {

namespace oc = orvik_compiler;
using oc::schedule_io::schedule_json;

TEST_CASE("schedule JSON: every field, indented by 2, in the records' field order",
          "[schedule_io][json]") {
  oc::Schedule schedule;
  schedule.tile_count = 2;
  schedule.layouts = {{oc::TensorId{0}, {0, 1}, oc::Sharding::Rows, 16}};
  schedule.phases = {
      oc::Phase::Exchange{{{0, 1, oc::TensorId{0}, 64}}},
      oc::Phase::Compute{
          oc::OpId{0}, {{1, oc::TensorId{1}, {oc::TensorId{0}}, {"gelu", {2, 8}, 1, "tail", 16}}}}};
  schedule.allocations = {{oc::TensorId{1}, 1, 0x1000, 64, 1, 2}};
  schedule.peak_sram = {{1, 64}};
  CHECK(schedule_json(schedule) == R"({
  "schema": "orvik-schedule",
  "version": 1,
  "tile_count": 2,
  "layouts": [
    {
      "tensor": 0,
      "tiles": [
        0,
        1
      ],
      "sharding": "Rows",
      "alignment": 16
    }
  ],
  "phases": [
    {
      "kind": "exchange",
      "transfers": [
        {
          "source_tile": 0,
          "destination_tile": 1,
          "tensor": 0,
          "bytes": 64
        }
      ]
    },
    {
      "kind": "compute",
      "op": 0,
      "commands": [
        {
          "tile": 1,
          "output": 1,
          "inputs": [
            0
          ],
          "specialization": {
            "operation": "gelu",
            "shape": [
              2,
              8
            ],
            "worker_count": 1,
            "role": "tail",
            "alignment": 16
          }
        }
      ]
    }
  ],
  "allocations": [
    {
      "tensor": 1,
      "tile": 1,
      "address": 4096,
      "size": 64,
      "live_from": 1,
      "live_until": 2
    }
  ],
  "peak_sram": [
    {
      "tile": 1,
      "bytes": 64
    }
  ]
}
)");

  // Empty arrays close on their own line; a kernel name that is not UTF-8 is written with the
  // replacement character rather than refused.
  CHECK(schedule_json(oc::Schedule{}) == R"({
  "schema": "orvik-schedule",
  "version": 1,
  "tile_count": 0,
  "layouts": [],
  "phases": [],
  "allocations": [],
  "peak_sram": []
}
)");
  std::get<oc::Phase::Compute>(schedule.phases[1].value).commands[0].specialization.operation =
      "g\xff";
  CHECK(schedule_json(schedule).find("\"operation\": \"g\xEF\xBF\xBD\",") != std::string::npos);
}

TEST_CASE("schedule JSON stays within its length bound", "[schedule_io][json]") {
  for (const oc::testing::ViewWorkload& workload : oc::testing::view_workloads()) {
    INFO(workload.name);
    CHECK(oc::schedule_io::json_size_bound(workload.counts) >=
          schedule_json(workload.schedule).size());
  }
  // The bound saturates rather than wrapping: 65535 tiles of a rank-1000 tensor.
  oc::schedule_io::ScheduleCounts huge;
  huge.tile_count = 65535;
  huge.tensors = {{65535, 1000}};
  huge.operations.assign(4, {0, {0}, 4000, 0});
  huge.operations.front().shape_digits = std::numeric_limits<std::uint64_t>::max() / 2;
  CHECK(oc::schedule_io::json_size_bound(huge) == std::numeric_limits<std::uint64_t>::max());
}

} // namespace
