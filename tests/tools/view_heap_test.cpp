// Estimates against the heap actually taken: the schedule, each view and the host evaluation,
// built for generated graphs and hostile shapes, each peak measured by the counting allocator
// that this executable links in place of the global operator new.

#include "orvik/graph_file.hpp"
#include "orvik/report.hpp"
#include "orvik/resource_budget.hpp"
#include "orvik/run_graph.hpp"
#include "orvik/views.hpp"

#include "bench/heap_counter.hpp"
#include "graph_files.hpp"
#include "schedule_io/view_workloads.hpp"

#include "testing/generated_graphs.hpp"
#include "testing/random_graphs.hpp"

#include <orvik_compiler/orvik_compiler.hpp>

#include <catch2/catch.hpp>

#include <optional>
#include <sstream>

namespace orvik_tool {
namespace {

namespace oc = orvik_compiler;
using oc::bench::heap_usage;

/// The most bytes in use while `build` runs beyond those in use before it, what it returns
/// included; the result is dropped afterwards.
template <class Build>
std::uint64_t peak_heap(Build build) {
  const std::size_t before = heap_usage().in_use;
  oc::bench::reset_heap_peak();
  {
    const auto result = build();
    static_cast<void>(result);
  }
  return heap_usage().peak - before;
}

struct Workload {
  std::string name;
  oc::Graph graph;
  oc::CompilerOptions options;
};

/// A tensor of `rank` axes, all but three of extent 1, and `operations` element-wise
/// operations on it, on `tiles` tiles: every kernel command copies the long shape.
oc::Graph long_shape_chain(std::size_t rank, int operations) {
  oc::Graph graph;
  std::vector<std::uint64_t> shape(rank - 3, 1);
  shape.insert(shape.end(), {16, 64, 64});
  oc::TensorId value = graph.input("x", shape);
  for (int i = 0; i < operations; ++i) {
    value = i % 2 == 0 ? graph.gelu("g" + std::to_string(i), value).value()
                       : graph.add("a" + std::to_string(i), value, value).value();
  }
  graph.mark_output(value);
  return graph;
}

std::vector<Workload> workloads() {
  const oc::CompilerOptions wide{16, 0x1000, 0xFFFFF000};
  std::vector<Workload> all;
  all.push_back({"encoder", *oc::encoder_graph({}), {}});
  all.push_back({"encoder on 1472 tiles", *oc::encoder_graph({}), {1472}});
  all.push_back({"hostile names on 7 tiles", oc::testing::hostile_names(), {7}});
  all.push_back({"rank 400 on 4096 tiles", long_shape_chain(400, 3), {4096, 0, 0xFFFFFFFF}});
  all.push_back({"rank 40 on 1024 tiles", long_shape_chain(40, 6), {1024, 0, 0xFFFFFFFF}});
  // One phase that is nearly the whole schedule, so that every view holds its largest part
  // while the text of the rest is short.
  all.push_back(
      {"one operation of rank 300 on 8192 tiles", long_shape_chain(300, 1), {8192, 0, 0xFFFFFFFF}});
  all.push_back({"tile counts 1 to 64", oc::testing::generated_tile_counts(5, 64), {64}});
  for (const std::uint64_t seed : {11U, 12U, 13U}) {
    for (const std::uint16_t tiles : {std::uint16_t{1}, std::uint16_t{16}, std::uint16_t{300}}) {
      all.push_back({"generated " + std::to_string(seed) + " on " + std::to_string(tiles),
                     oc::testing::generated_graph(seed, 40, 160),
                     {tiles, 0x1000, 0xFFFFF000}});
    }
  }
  for (std::uint64_t seed = 1; seed <= 12; ++seed) {
    oc::testing::RandomGraph random = oc::testing::random_graph(oc::testing::seeded_draw(seed));
    all.push_back({"random " + std::to_string(seed), std::move(random.graph), wide});
  }
  return all;
}

TEST_CASE("every view's peak heap is within its estimate", "[tool][budget][heap]") {
  for (const Workload& workload : workloads()) {
    INFO(workload.name);
    const oc::Graph& graph = workload.graph;
    const oc::CompilerOptions& options = workload.options;
    const MemoryEstimate estimate(graph, options);
    std::optional<oc::Result<oc::Schedule>> compiled;
    const std::uint64_t compiling = peak_heap([&] {
      compiled = oc::compile(graph, options);
      return 0;
    });
    if (!*compiled) {
      // A graph too large for the target's memory has no schedule to show.
      continue;
    }
    const oc::Schedule& schedule = **compiled;
    CHECK(compiling <= estimate.schedule());
    CHECK(peak_heap([&] { return summary_report(graph, options, schedule); }) <=
          estimate.summary());
    // As the compile command writes it: the stream's buffer moved out as the text.
    CHECK(peak_heap([&] {
            std::ostringstream debug;
            debug << schedule << '\n';
            return std::move(debug).str();
          }) <= estimate.debug_text());
    CHECK(peak_heap([&] { return schedule_json(schedule); }) <= estimate.json());
    CHECK(peak_heap([&] { return chrome_trace(graph, schedule); }) <= estimate.trace());
    CHECK(peak_heap([&] { return memory_map_svg(graph, options, schedule, 0); }) <=
          estimate.memory_map(0));
    CHECK(peak_heap([&] { return schedule_report_html("<g.json>", graph, options, schedule); }) <=
          estimate.report("<g.json>"));
  }
}

TEST_CASE("a graph file's graph is refused before it is built", "[tool][budget][heap]") {
  // 400 steps of a rank-100,000 tensor: 320 MB of shapes from 1.4 MB of text, refused at a
  // budget that would hold a fifth of them, with no more memory than the parsed document takes
  // (allowed 48 times the text).
  const std::string text = testing::gelu_chain_file(100'000, 400);
  const std::uint64_t budget = std::uint64_t{64} << 20U;
  std::optional<ToolResult<oc::Graph>> read;
  const std::uint64_t peak = peak_heap([&] {
    read = read_graph_file(text, "rank.json", budget);
    return 0;
  });
  CHECK(peak <= 48 * text.size());
  REQUIRE(!*read);
  CHECK(read->failure().exit_status == exit_compile_error);
  const std::string& message = read->failure().message;
  CHECK(message.rfind("rank.json: error: the graph needs an estimated ", 0) == 0);
  CHECK(message.ends_with(" bytes of memory, more than the budget of 67108864 bytes; "
                          "--memory-budget raises it"));
  // Within the budget, what is counted bounds what the graph holds.
  const std::string short_chain = testing::gelu_chain_file(1000, 40);
  std::optional<ToolResult<oc::Graph>> accepted;
  const std::uint64_t reading = peak_heap([&] {
    accepted = read_graph_file(short_chain, "short.json", std::uint64_t{1} << 30U);
    return 0;
  });
  REQUIRE(*accepted);
  const oc::Graph& graph = **accepted;
  CHECK(graph.tensors.size() == 41);
  CHECK(graph_memory(graph) >= 41 * 1000 * 8);
  CHECK(reading <= graph_memory(graph) + 48 * short_chain.size());
  const std::uint64_t copying = peak_heap([&] { return oc::Graph(graph); });
  CHECK(copying <= graph_memory(graph));
}

TEST_CASE("a graph file is written one step at a time", "[tool][heap]") {
  // 40 reshapes of 1000 axes each: each step's fields take some 16 KB as a JSON value and 2 KB
  // as text, so only one step may be held as a value at a time.
  oc::Graph graph;
  const std::vector<std::uint64_t> shape(1000, 1);
  oc::TensorId value = graph.input("x", shape);
  for (int i = 0; i < 40; ++i) {
    value = graph.reshape("r" + std::to_string(i), value, shape).value();
  }
  graph.mark_output(value);
  std::uint64_t text = 0;
  const std::uint64_t writing = peak_heap([&] {
    const ToolResult<std::string> written = write_graph_file(graph);
    REQUIRE(written);
    text = written->size();
    return 0;
  });
  CHECK(text > 40 * 2000);
  CHECK(writing <= 3 * text + (64U << 10U));
}

TEST_CASE("the evaluation's peak heap is within its bound", "[tool][budget][heap]") {
  std::vector<oc::testing::RandomGraph> graphs;
  for (std::uint64_t seed = 1; seed <= 200; ++seed) {
    graphs.push_back(oc::testing::random_graph(oc::testing::seeded_draw(seed), {12, 4096, 9}));
  }
  for (const oc::testing::RandomGraph& random : graphs) {
    const std::vector<oc::TensorValue> values = random.values();
    INFO(random.graph);
    CHECK(peak_heap([&] { return oc::evaluate_typed(random.graph, values); }) <=
          oc::evaluation_memory_bound(random.graph));
  }
  // A product that is far larger than its operands, and one value read by many.
  oc::Graph outer;
  const oc::TensorId column = outer.input("a", {512, 1});
  const oc::TensorId product = outer.matmul("y", column, outer.input("b", {1, 512})).value();
  oc::TensorId sum = product;
  for (int i = 0; i < 4; ++i) {
    sum = outer.add("s" + std::to_string(i), sum, product).value();
  }
  outer.mark_output(sum);
  outer.mark_output(product);
  outer.mark_output(column);
  const std::vector<float> ones(512, 1.0F);
  const std::vector<oc::TensorValue> bound{{oc::TensorId{0}, ones}, {oc::TensorId{1}, ones}};
  const std::uint64_t peak = peak_heap([&] { return oc::evaluate_typed(outer, bound); });
  CHECK(peak >= 2 * 512 * 512 * 4);
  CHECK(peak <= oc::evaluation_memory_bound(outer));
}

} // namespace
} // namespace orvik_tool
