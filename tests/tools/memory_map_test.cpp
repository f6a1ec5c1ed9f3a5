// The picture of one tile's memory: its blocks, axes and peak on a small schedule, an empty
// tile, and the bound of its length.

#include "orvik/views.hpp"

#include "schedule_io/view_workloads.hpp"

#include <orvik_compiler/orvik_compiler.hpp>

#include <catch2/catch.hpp>

namespace {

namespace oc = orvik_compiler;

/// The frame and axes of the small schedule's pictures, up to the first address tick.
std::string head(int tile, int allocations) {
  return R"(<?xml version="1.0" encoding="UTF-8"?>
<svg xmlns="http://www.w3.org/2000/svg" width="960.00" height="640.00" viewBox="0 0 960.00 640.00" font-family="sans-serif" font-size="11">
<rect width="100%" height="100%" fill="#ffffff"/>
<text x="96.00" y="22" font-size="15">Tile )" +
         std::to_string(tile) + " data memory: " + std::to_string(allocations) +
         R"( allocations over 3 phases</text>
<text x="96.00" y="40" fill="#555555">window 0x1000..0x2000; y is the address, x the phase</text>
<g stroke="#333333" stroke-width="1">
<line x1="96.00" y1="592.00" x2="936.00" y2="592.00"/>
<line x1="96.00" y1="592.00" x2="96.00" y2="56.00"/>
</g>
<text x="201.00" y="608.00" text-anchor="middle">0</text>
<text x="411.00" y="608.00" text-anchor="middle">1</text>
<text x="621.00" y="608.00" text-anchor="middle">2</text>
<text x="831.00" y="608.00" text-anchor="middle">3</text>
<text x="516.00" y="632.00" text-anchor="middle">phase</text>
)";
}

TEST_CASE("memory map: a block per allocation, names escaped for XML, the peak marked",
          "[tool][memory_map]") {
  const oc::testing::SmallSchedule small = oc::testing::small_schedule();
  CHECK(orvik_tool::memory_map_svg(small.graph, small.options, small.schedule, 1) ==
        head(1, 2) + R"(<text x="90.00" y="596.00" text-anchor="end">0x1000</text>
<text x="90.00" y="462.00" text-anchor="end">0x1010</text>
<text x="90.00" y="328.00" text-anchor="end">0x1020</text>
<text x="90.00" y="194.00" text-anchor="end">0x1030</text>
<text x="90.00" y="60.00" text-anchor="end">0x1040</text>
<g>
<title>y: address 0x1000, size 32 bytes, live from phase 1 to 2</title>
<rect x="306.00" y="324.00" width="420.00" height="268.00" fill="#e15759" fill-opacity="0.75" stroke="#222222" stroke-width="0.5"/>
<svg x="306.00" y="324.00" width="420.00" height="268.00"><text x="3" y="13.00" fill="#000000">y</text></svg>
</g>
<g>
<title>&quot;z &lt;&amp;&gt; \&quot;q\&quot;&quot;: address 0x1020, size 32 bytes, live from phase 2 to 3</title>
<rect x="516.00" y="56.00" width="420.00" height="268.00" fill="#76b7b2" fill-opacity="0.75" stroke="#222222" stroke-width="0.5"/>
<svg x="516.00" y="56.00" width="420.00" height="268.00"><text x="3" y="13.00" fill="#000000">&quot;z &lt;&amp;&gt; \&quot;q\&quot;&quot;</text></svg>
</g>
<line x1="96.00" y1="56.00" x2="936.00" y2="56.00" stroke="#d62728" stroke-width="1.5" stroke-dasharray="6 4"/>
<text x="936.00" y="51.00" text-anchor="end" fill="#d62728">peak 0x40 (64 bytes, 1.56% of the window)</text>
</svg>
)");
}

TEST_CASE("memory map: a tile without allocations says so", "[tool][memory_map]") {
  const oc::testing::SmallSchedule small = oc::testing::small_schedule();
  CHECK(orvik_tool::memory_map_svg(small.graph, small.options, small.schedule, 5) ==
        head(5, 0) + R"(<text x="90.00" y="596.00" text-anchor="end">0x1000</text>
<text x="90.00" y="462.00" text-anchor="end">0x1004</text>
<text x="90.00" y="328.00" text-anchor="end">0x1008</text>
<text x="90.00" y="194.00" text-anchor="end">0x100C</text>
<text x="90.00" y="60.00" text-anchor="end">0x1010</text>
<text x="516.00" y="324.00" text-anchor="middle">no allocations on this tile</text>
</svg>
)");
}

TEST_CASE("memory map stays within its length bound", "[tool][memory_map]") {
  for (const oc::testing::ViewWorkload& workload : oc::testing::view_workloads()) {
    INFO(workload.name);
    for (const std::uint16_t tile : std::initializer_list<std::uint16_t>{0, 1, 6, 200}) {
      INFO("tile " << tile);
      CHECK(orvik_tool::memory_map_size_bound(workload.graph, workload.counts, tile) >=
            orvik_tool::memory_map_svg(workload.graph, workload.options, workload.schedule, tile)
                .size());
    }
  }
}

} // namespace
