// The trace event file: events timed by the cost model on a small schedule, and the bound of its
// length.

#include "orvik/views.hpp"

#include "schedule_io/view_workloads.hpp"

#include <orvik_compiler/orvik_compiler.hpp>

#include <catch2/catch.hpp>

namespace {

namespace oc = orvik_compiler;

TEST_CASE("trace: one event per tile and phase, back to back, then the track names",
          "[tool][trace]") {
  const oc::testing::SmallSchedule small = oc::testing::small_schedule();
  // The exchange: 200 ns and 160 bytes at 4 per ns on each tile. The product: 500 ns and the
  // 192 bytes of x, w and a share of y at 2 per ns. The GELU: 500 ns and 64 bytes at 2 per ns.
  const std::string z = R"("\"z <&> \\\"q\\\"\"")";
  CHECK(orvik_tool::chrome_trace(small.graph, small.schedule) ==
        R"({"traceEvents":[)"
        R"({"name":"exchange","cat":"exchange","ph":"X","pid":1,"tid":1,"ts":0.0,"dur":0.24,)"
        R"("args":{"phase":0,"bytes":160,"tensors":["x","w"],"operation":"y"}},)"
        R"({"name":"exchange","cat":"exchange","ph":"X","pid":1,"tid":2,"ts":0.0,"dur":0.24,)"
        R"("args":{"phase":0,"bytes":160,"tensors":["x","w"],"operation":"y"}},)"
        R"({"name":"y","cat":"compute","ph":"X","pid":1,"tid":1,"ts":0.24,"dur":0.596,)"
        R"("args":{"phase":1,"bytes":192,"tensors":["x","w","y"],"operation":"y"}},)"
        R"({"name":"y","cat":"compute","ph":"X","pid":1,"tid":2,"ts":0.24,"dur":0.596,)"
        R"("args":{"phase":1,"bytes":192,"tensors":["x","w","y"],"operation":"y"}},)"
        R"({"name":)" +
            z +
            R"(,"cat":"compute","ph":"X","pid":1,"tid":1,"ts":0.836,"dur":0.532,)"
            R"("args":{"phase":2,"bytes":64,"tensors":["y",)" +
            z + R"(],"operation":)" + z +
            "}},"
            R"({"name":)" +
            z +
            R"(,"cat":"compute","ph":"X","pid":1,"tid":2,"ts":0.836,"dur":0.532,)"
            R"("args":{"phase":2,"bytes":64,"tensors":["y",)" +
            z + R"(],"operation":)" + z +
            "}},"
            R"({"name":"thread_name","ph":"M","pid":1,"tid":1,"args":{"name":"tile 0"}},)"
            R"({"name":"thread_name","ph":"M","pid":1,"tid":2,"args":{"name":"tile 1"}}],)"
            R"("displayTimeUnit":"ns"})"
            "\n");
}

TEST_CASE("trace stays within its length bound", "[tool][trace]") {
  for (const oc::testing::ViewWorkload& workload : oc::testing::view_workloads()) {
    INFO(workload.name);
    CHECK(orvik_tool::trace_size_bound(workload.graph, workload.counts) >=
          orvik_tool::chrome_trace(workload.graph, workload.schedule).size());
  }
}

} // namespace
