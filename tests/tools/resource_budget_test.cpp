// The memory budget: estimates that bound what the tool builds, a default that lets the real
// workloads through and stops the hostile ones, and views whose size the names cannot blow up.

#include "graph_files.hpp"
#include "orvik/graph_file.hpp"
#include "orvik/npy_file.hpp"
#include "orvik/report.hpp"
#include "orvik/resource_budget.hpp"
#include "orvik/run_graph.hpp"
#include "orvik/views.hpp"
#include "tool_process.hpp"

#include "schedule_io/view_workloads.hpp"

#include "testing/encoder_stack.hpp"
#include "testing/generated_graphs.hpp"
#include "testing/random_graphs.hpp"

#include <orvik_compiler/orvik_compiler.hpp>

#include <catch2/catch.hpp>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace orvik_tool {
namespace {

namespace oc = orvik_compiler;

/// The bytes that a schedule keeps on the heap, by its records' capacities.
std::uint64_t retained_bytes(const oc::Schedule& schedule) {
  std::uint64_t bytes = schedule.layouts.capacity() * sizeof(oc::Layout) +
                        schedule.phases.capacity() * sizeof(oc::Phase) +
                        schedule.allocations.capacity() * sizeof(oc::Allocation) +
                        schedule.peak_sram.size() * 48;
  for (const oc::Layout& layout : schedule.layouts) {
    bytes += layout.tiles.capacity() * sizeof(std::uint16_t);
  }
  for (const oc::Phase& phase : schedule.phases) {
    if (const auto* exchange = std::get_if<oc::Phase::Exchange>(&phase.value)) {
      bytes += exchange->transfers.capacity() * sizeof(oc::Transfer);
      continue;
    }
    const auto& compute = std::get<oc::Phase::Compute>(phase.value);
    bytes += compute.commands.capacity() * sizeof(oc::KernelCommand);
    for (const oc::KernelCommand& command : compute.commands) {
      bytes += command.inputs.capacity() * sizeof(oc::TensorId) +
               command.specialization.shape.capacity() * sizeof(std::uint64_t);
    }
  }
  return bytes;
}

TEST_CASE("each estimate bounds what it estimates", "[tool][budget]") {
  struct Workload {
    std::string name;
    oc::Graph graph;
    oc::CompilerOptions options;
  };
  std::vector<Workload> workloads;
  workloads.push_back({"encoder", *oc::encoder_graph({}), {}});
  workloads.push_back(
      {"stack 1 on 1472 tiles", *oc::testing::encoder_stack({128, 768, 12, 3072}, 1), {1472}});
  workloads.push_back({"hostile names on 7 tiles", oc::testing::hostile_names(), {7}});
  // The longest kernel names, with one-letter tensor names, so that the names leave no slack.
  for (const int tiles : {1, 64, 1472}) {
    oc::Graph graph;
    oc::TensorId t = graph.input("x", {4, 64, 64});
    for (int i = 0; i < 8; ++i) {
      t = graph.batch_matmul(std::string(1, static_cast<char>('a' + i)), t, t).value();
    }
    const oc::TensorId ids = graph.input("i", {64, 64}, oc::DType::I32);
    const oc::TensorId rows = graph.gather("g", graph.reduce_mean("m", t, 0).value(), ids).value();
    graph.mark_output(graph.reciprocal("r", graph.cast("c", rows, oc::DType::F32).value()).value());
    workloads.push_back({"long kernel names on " + std::to_string(tiles),
                         std::move(graph),
                         {static_cast<std::uint16_t>(tiles), 0x1000, 0xFFFFF000}});
  }
  for (const std::uint64_t seed : {1U, 2U, 3U}) {
    for (const int tiles : {1, 16, 300}) {
      workloads.push_back({"generated " + std::to_string(seed) + " on " + std::to_string(tiles),
                           oc::testing::generated_graph(seed, 60, 200),
                           {static_cast<std::uint16_t>(tiles), 0x1000, 0xFFFFF000}});
    }
  }
  for (const Workload& workload : workloads) {
    INFO(workload.name);
    const oc::Result<oc::Schedule> schedule = oc::compile(workload.graph, workload.options);
    REQUIRE(schedule);
    const MemoryEstimate estimate(workload.graph, workload.options);
    CHECK(estimate.schedule() >= retained_bytes(*schedule));
    // Each view's text is counted at least twice, for the growth of its buffer.
    std::ostringstream debug;
    debug << *schedule << '\n';
    CHECK(estimate.debug_text() >= 2 * debug.str().size());
    CHECK(estimate.json() >= 2 * schedule_json(*schedule).size());
    CHECK(estimate.summary() >=
          2 * summary_report(workload.graph, workload.options, *schedule).size());
    CHECK(estimate.trace() >= 2 * chrome_trace(workload.graph, *schedule).size());
    CHECK(estimate.report("<g.json>") >=
          2 * schedule_report_html("<g.json>", workload.graph, workload.options, *schedule).size());
    for (const std::uint16_t tile : {std::uint16_t{0}, std::uint16_t{1}, std::uint16_t{6}}) {
      CHECK(estimate.memory_map(tile) >=
            2 * memory_map_svg(workload.graph, workload.options, *schedule, tile).size());
    }
  }
}

TEST_CASE("the default budget lets the largest workload through and stops hostile graphs",
          "[tool][budget]") {
  const auto everything = [](const oc::Graph& graph, const oc::CompilerOptions& options) {
    const MemoryEstimate estimate(graph, options);
    return std::vector<MemoryUse>{{"schedule", estimate.schedule()},
                                  {"--emit json", estimate.json()},
                                  {"--trace", estimate.trace()},
                                  {"--memory-map", estimate.memory_map(0)},
                                  {"--report", estimate.report("stack24.json")}};
  };
  const oc::Graph stack = *oc::testing::encoder_stack({128, 768, 12, 3072}, 24);
  CHECK(check_memory_budget(everything(stack, {1472}), default_memory_budget));

  // A few kilobytes of graph file: a rank-1000 tensor of 64 MiB and four operations on it,
  // each of whose 65535 kernel commands would copy the 1000 extents.
  oc::Graph rank_1000;
  std::vector<std::uint64_t> shape(997, 1);
  shape.insert(shape.end(), {256, 256, 256});
  oc::TensorId value = rank_1000.input("x", shape);
  for (int i = 0; i < 4; ++i) {
    value = rank_1000.gelu("g" + std::to_string(i), value).value();
  }
  rank_1000.mark_output(value);
  const MemoryEstimate estimate(rank_1000, {65535});
  CHECK(estimate.schedule() > 4 * 65535 * 8000U);
  const ToolResult<void> refused =
      check_memory_budget({{"schedule", estimate.schedule()}}, default_memory_budget);
  REQUIRE(!refused);
  CHECK(refused.failure().exit_status == exit_compile_error);
  CHECK(refused.failure().message ==
        "orvik: error: this command needs an estimated " + std::to_string(estimate.schedule()) +
            " bytes of memory (schedule " + std::to_string(estimate.schedule()) +
            "), more than the budget of 1073741824 bytes; --memory-budget "
            "raises it");
}

TEST_CASE("a command over the budget is refused before it is built", "[tool][budget]") {
  // One step on 64 MiB of rank 400 on 16384 tiles: 16384 copies of 400 extents, some 56 MB.
  std::string shape = "[";
  for (int i = 0; i < 397; ++i) {
    shape += "1, ";
  }
  shape += "256, 256, 256]";
  const std::string name = std::string(2000, 'g');
  const std::string graph = R"({"format": "orvik-graph", "version": 1, "steps": [
    {"op": "input", "name": "x", "shape": )" +
                            shape + R"(},
    {"op": "gelu", "name": ")" +
                            name + R"(", "input": "x"},
    {"op": "output", "tensor": ")" +
                            name + R"("}]})";
  const testing::Run refused =
      testing::orvik("compile - --tiles 16384 --memory-budget 30000000", graph);
  CHECK(refused.status == 1);
  CHECK(refused.err.rfind("orvik: error: this command needs an estimated ", 0) == 0);
  CHECK(refused.err.find(" bytes of memory (graph ") != std::string::npos);
  CHECK(refused.err.find(", schedule ") != std::string::npos);
  CHECK(refused.err.find("more than the budget of 30000000 bytes; --memory-budget raises it\n") !=
        std::string::npos);
  CHECK(refused.out.empty());

  // The trace names the 2000-byte operation on each of its 16384 events: the estimate counts
  // the outputs asked for, so only the run that asks for the trace is refused.
  const std::string budget = " --memory-budget 100000000";
  CHECK(testing::orvik("compile - --tiles 16384 -o /dev/null" + budget, graph).status == 0);
  const testing::Run traced =
      testing::orvik("compile - --tiles 16384 --trace /dev/null" + budget, graph);
  CHECK(traced.status == 1);
  CHECK(traced.err.find(", --trace ") != std::string::npos);
}

TEST_CASE("every command that reads a graph file holds its graph to the memory budget",
          "[tool][budget]") {
  const testing::Scratch scratch;
  // 300 steps of a rank-20,000 tensor: 48 MB of shapes from 68 KB of text.
  const std::string rank = (scratch / "rank.json").string();
  std::ofstream(rank) << testing::gelu_chain_file(20'000, 300);
  const std::string schedule = (scratch / "s.json").string();
  REQUIRE(testing::orvik("compile --encoder --emit json -o " + schedule).status == 0);
  const std::string budget = " --memory-budget 20000000";
  for (const std::string& command :
       {"compile " + rank, "run " + rank + " -o " + (scratch / "out").string(),
        "verify " + schedule + " " + rank}) {
    INFO(command);
    const testing::Run refused = testing::orvik(command + budget);
    CHECK(refused.status == 1);
    CHECK(refused.err.rfind(rank + ": error: the graph needs an estimated ", 0) == 0);
    CHECK(refused.err.ends_with(
        " bytes of memory, more than the budget of 20000000 bytes; --memory-budget raises it\n"));
    CHECK(refused.out.empty());
  }
  CHECK(!std::filesystem::exists(scratch / "out"));
  // Within the budget the graph is read, and the command goes on to its own checks.
  const testing::Run compiled = testing::orvik("compile " + rank + " --memory-budget 200000000");
  CHECK(compiled.status == 0);
  CHECK(compiled.err.empty());
}

TEST_CASE("a graph file's bound is known before its graph and holds for every kind",
          "[tool][budget]") {
  // The estimate, as the refusal of a budget of nothing states it.
  const auto bound = [](const std::string& text) {
    const ToolResult<oc::Graph> refused = read_graph_file(text, "g.json", 0);
    REQUIRE(!refused);
    const std::string& message = refused.failure().message;
    const std::string lead = "g.json: error: the graph needs an estimated ";
    REQUIRE(message.rfind(lead, 0) == 0);
    return std::stoull(message.substr(lead.size()));
  };
  std::vector<oc::Graph> graphs;
  for (std::uint64_t seed = 1; seed <= 100; ++seed) {
    graphs.push_back(oc::testing::random_graph(oc::testing::seeded_draw(seed)).graph);
  }
  // Gathers of a tensor by itself nearly double its axes at every step.
  oc::Graph doubling;
  oc::TensorId ids = doubling.input("ids", {1, 1}, oc::DType::I32);
  for (int i = 0; i < 12; ++i) {
    ids = doubling.gather("g" + std::to_string(i), ids, ids).value();
  }
  doubling.mark_output(ids);
  CHECK(doubling.tensors.back().shape.size() == 4097);
  graphs.push_back(std::move(doubling));
  for (const oc::Graph& graph : graphs) {
    const ToolResult<std::string> text = write_graph_file(graph);
    REQUIRE(text);
    const ToolResult<oc::Graph> read = read_graph_file(*text, "g.json");
    REQUIRE(read);
    INFO(*text);
    CHECK(bound(*text) >= graph_memory(*read));
  }
}

TEST_CASE("run estimates what it would hold before it reads or makes a value", "[tool][budget]") {
  const testing::Scratch scratch;
  // 128 KiB of values each whose product takes 4 GiB.
  const std::string outer = (scratch / "outer.json").string();
  std::ofstream(outer) << R"({"format": "orvik-graph", "version": 1, "steps": [
    {"op": "input", "name": "a", "shape": [32768, 1]},
    {"op": "input", "name": "b", "shape": [1, 32768]},
    {"op": "matmul", "name": "y", "left": "a", "right": "b"},
    {"op": "output", "tensor": "y"}]})";
  std::ofstream(scratch / "a.npy", std::ios::binary)
      << write_npy(std::vector<std::uint64_t>{32768, 1}, std::vector<float>(32768, 1.0F));
  std::ofstream(scratch / "b.npy", std::ios::binary)
      << write_npy(std::vector<std::uint64_t>{1, 32768}, std::vector<float>(32768, 1.0F));
  const std::string out = (scratch / "out").string();
  const std::string values =
      " --input a=" + (scratch / "a.npy").string() + " --input b=" + (scratch / "b.npy").string();
  struct Case {
    std::string arguments;
    std::string budget;
  };
  const std::vector<Case> cases{
      {"run " + outer + values, "1073741824"},
      {"run " + outer + values + " --memory-budget 0x10000000", "268435456"},
      // The encoder's weights alone are 6.5 GB; they are never made.
      {"run --encoder --sequence 8192 --hidden 16384 --heads 1 --feed-forward 16384", "1073741824"},
      // A file of no value at all is refused for the memory before it is missed.
      {"run " + outer, "1073741824"}};
  for (const Case& test : cases) {
    INFO(test.arguments);
    const testing::Run refused = testing::orvik(test.arguments + " -o " + out);
    CHECK(refused.status == 1);
    CHECK(refused.err.rfind("orvik: error: this command needs an estimated ", 0) == 0);
    CHECK(refused.err.find(" bytes of memory (graph ") != std::string::npos);
    CHECK(refused.err.find(", values ") != std::string::npos);
    CHECK(refused.err.find(", evaluation ") != std::string::npos);
    CHECK(refused.err.find(", outputs ") != std::string::npos);
    CHECK(refused.err.ends_with("more than the budget of " + test.budget +
                                " bytes; --memory-budget raises it\n"));
    CHECK(refused.out.empty());
    CHECK(!std::filesystem::exists(out));
  }
  // The estimate counts the product, its file and its copy while the file is made: 12 GiB.
  oc::Graph graph;
  graph.mark_output(
      graph.matmul("y", graph.input("a", {32768, 1}), graph.input("b", {1, 32768})).value());
  const std::vector<MemoryUse> uses = run_memory_uses(graph);
  REQUIRE(uses.size() == 4);
  CHECK(uses[2].bytes >= std::uint64_t{4} << 30U);
  CHECK(uses[3].bytes >= std::uint64_t{8} << 30U);
  // A small run passes the default budget and is refused under a tiny one.
  CHECK(testing::orvik("run --encoder -o " + out).status == 0);
  CHECK(testing::orvik("run --encoder -o " + out + " --memory-budget 1000").status == 1);
}

TEST_CASE("the summary cuts long names; the other views keep them whole", "[tool][budget]") {
  oc::Graph graph;
  const oc::TensorId x = graph.input("x", {4});
  const std::string name = "\xc3\xa9" + std::string(300, 'n');
  graph.mark_output(graph.gelu(name, x).value());
  const oc::CompilerOptions options;
  const oc::Schedule schedule = oc::compile(graph, options).value();
  const std::string summary = summary_report(graph, options, schedule);
  // 40 bytes: the first 37 of the name, a UTF-8 sequence never split, and "...".
  CHECK(summary.find("  compute   \xc3\xa9" + std::string(35, 'n') + "...  gelu") !=
        std::string::npos);
  CHECK(summary.find(std::string(36, 'n')) == std::string::npos);
  CHECK(chrome_trace(graph, schedule).find(name) != std::string::npos);

  oc::Graph split;
  split.mark_output(
      split.gelu(std::string(36, 'n') + "\xc3\xa9\xc3\xa9\xc3\xa9", split.input("x", {4})).value());
  CHECK(summary_report(split, options, oc::compile(split, options).value())
            .find("  compute   " + std::string(36, 'n') + "...  gelu") != std::string::npos);
}

} // namespace
} // namespace orvik_tool
