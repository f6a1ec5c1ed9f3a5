#pragma once

// Schedules to write views of: a small hand-made one whose texts the view tests spell out, and
// graphs to compile whose texts the views' length bounds must cover.

#include "schedule_io/schedule_counts.hpp"

#include <orvik_compiler/orvik_compiler.hpp>

#include <string>
#include <vector>

namespace orvik_compiler::testing {

/// A graph, the options it is compiled for, and a schedule of it written by hand: 2 tiles, an
/// exchange that sends x and w to tile 1, a matrix product and a GELU whose name holds what
/// XML and JSON escape.
struct SmallSchedule {
  Graph graph;
  CompilerOptions options{2, 0x1000, 0x2000};
  Schedule schedule;
};

inline SmallSchedule small_schedule() {
  SmallSchedule small;
  Graph& graph = small.graph;
  const TensorId x = graph.input("x", {2, 4});
  const TensorId w = graph.weight("w", {4, 8});
  const TensorId y = graph.matmul("y", x, w).value();
  const TensorId z = graph.gelu("z <&> \"q\"", y).value();
  graph.mark_output(z);

  Schedule& schedule = small.schedule;
  schedule.tile_count = 2;
  schedule.layouts = {{x, {0}, Sharding::Replicated, 16},
                      {w, {0}, Sharding::Replicated, 16},
                      {y, {0, 1}, Sharding::Columns, 16},
                      {z, {0, 1}, Sharding::Columns, 16}};
  const auto commands = [&](const std::string& kernel, TensorId output,
                            std::vector<TensorId> inputs) {
    std::vector<KernelCommand> both;
    for (const std::uint16_t tile : {std::uint16_t{0}, std::uint16_t{1}}) {
      both.push_back({tile, output, inputs, {kernel, {2, 8}, 1, tile == 1 ? "tail" : "body", 16}});
    }
    return both;
  };
  schedule.phases = {Phase::Exchange{{{0, 1, x, 32}, {0, 1, w, 128}}},
                     Phase::Compute{OpId{0}, commands("matmul", y, {x, w})},
                     Phase::Compute{OpId{1}, commands("gelu", z, {y})}};
  schedule.allocations = {{x, 0, 0x1000, 32, 0, 1}, {w, 0, 0x1020, 128, 0, 1},
                          {y, 0, 0x10A0, 32, 1, 2}, {y, 1, 0x1000, 32, 1, 2},
                          {z, 0, 0x1000, 32, 2, 3}, {z, 1, 0x1020, 32, 2, 3}};
  schedule.peak_sram = {{0, 0xC0}, {1, 0x40}};
  return small;
}

/// A graph whose names are long and full of what JSON, XML and the debug text escape.
inline Graph hostile_names() {
  Graph graph;
  const std::string awkward = "<\"q\" & 'a'>\\\x01\xff" + std::string(300, '&');
  const TensorId x = graph.input(awkward + "x", {64, 96});
  const TensorId w = graph.weight("\"w\"", {96, 200});
  const TensorId y = graph.matmul(awkward + "y", x, w).value();
  const TensorId n = graph.layer_norm("n\n", y, 1e-5F).value();
  graph.mark_output(graph.gelu(std::string(500, '"'), n).value());
  return graph;
}

/// A graph compiled for `options`, named for messages, with the counts of its schedule that the
/// views' length bounds are computed from.
struct ViewWorkload {
  std::string name;
  Graph graph;
  CompilerOptions options;
  Schedule schedule;
  schedule_io::ScheduleCounts counts;
};

/// The small graph, the encoder on its default target and on 300 tiles, and long names on 7
/// tiles, compiled.
inline std::vector<ViewWorkload> view_workloads() {
  std::vector<ViewWorkload> workloads;
  const auto add = [&](std::string name, Graph graph, CompilerOptions options) {
    Schedule schedule = compile(graph, options).value();
    schedule_io::ScheduleCounts counts = schedule_io::count_schedule(graph, options);
    workloads.push_back(
        {std::move(name), std::move(graph), options, std::move(schedule), std::move(counts)});
  };
  SmallSchedule small = small_schedule();
  add("small", std::move(small.graph), small.options);
  add("encoder", encoder_graph({}).value(), {});
  add("encoder on 300 tiles", encoder_graph({}).value(), {300, 0, 0xFFFFFFFF});
  add("long names on 7 tiles", hostile_names(), {7});
  return workloads;
}

} // namespace orvik_compiler::testing
