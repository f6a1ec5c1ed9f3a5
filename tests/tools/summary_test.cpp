// The summary report: its columns and totals on a small schedule, the cut of long names, and
// the bound of its length.

#include "orvik/views.hpp"

#include "schedule_io/view_workloads.hpp"

#include <orvik_compiler/orvik_compiler.hpp>

#include <catch2/catch.hpp>

namespace {

namespace oc = orvik_compiler;

TEST_CASE("summary: phases, peak bands and totals", "[tool][summary]") {
  const oc::testing::SmallSchedule small = oc::testing::small_schedule();
  CHECK(
      orvik_tool::summary_report(small.graph, small.options, small.schedule) ==
      R"(Schedule of 2 operations and 4 tensors on 2 tiles; data window 0x1000..0x2000 (4096 bytes per tile)

Phases
  phase  kind      operation      kernel       tiles  transfers  bytes moved
      0  exchange  y              -                2          2          160
      1  compute   y              matmul           2          0            0
      2  compute   "z <&> \"q\""  gelu             2          0            0

Peak memory per band of tiles with equal peaks
  tiles            peak bytes  share of window
  0                       192            4.69%
  1                        64            1.56%

Totals
  phases        3 (2 compute, 1 exchange)
  transfers     2, 160 bytes moved
  allocations   6, 288 bytes allocated
  tiles used    2 of 2
  highest peak  192 bytes on tile 0 (4.69% of the window)
)");
}

TEST_CASE("summary: adjacent tiles with equal peaks share a band, long names are cut",
          "[tool][summary]") {
  oc::testing::SmallSchedule small = oc::testing::small_schedule();
  small.schedule.tile_count = 4;
  small.schedule.peak_sram = {{0, 64}, {1, 64}, {3, 64}};
  // 38 bytes of name and then a three-byte character, which the cut must not split.
  small.graph.ops[0].name = std::string(36, 'm') + "\xE2\x82\xAC" + "tail";
  const std::string text = orvik_tool::summary_report(small.graph, small.options, small.schedule);
  CHECK(text.find("  0-1                      64            1.56%\n"
                  "  3                        64            1.56%\n") != std::string::npos);
  CHECK(text.find("      1  compute   " + std::string(36, 'm') + "...  matmul") !=
        std::string::npos);
}

TEST_CASE("summary stays within its length bound", "[tool][summary]") {
  for (const oc::testing::ViewWorkload& workload : oc::testing::view_workloads()) {
    INFO(workload.name);
    CHECK(orvik_tool::summary_size_bound(workload.graph, workload.counts) >=
          orvik_tool::summary_report(workload.graph, workload.options, workload.schedule).size());
  }
}

} // namespace
