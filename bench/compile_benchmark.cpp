// The compile benchmark: per workload the time of `compile`, of `plan_memory` alone, of the plain
// planner it replaced, and of a deep copy of the resulting schedule, which no compiler can beat
// when handing over its result. Each is timed in wall time and in the CPU time of the thread
// that runs it; on a machine shared with other work only the latter is steady, so the closing
// table takes its ratios from CPU times (medians when repeated).

#include "heap_counter.hpp"
#include "testing/encoder_stack.hpp"
#include "testing/generated_graphs.hpp"
#include "testing/plain_plan_memory.hpp"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <orvik_compiler/orvik_compiler.hpp>

#include <iomanip>
#include <limits>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace orvik_compiler::bench {
namespace {

/// One graph and target, with what the benchmarks read prepared once.
struct Workload {
  std::string name;
  Graph graph;
  CompilerOptions options;
  /// The schedule of `compile`, or its error.
  std::optional<Result<Schedule>> compiled;
  /// The layouts and phases `plan_memory` is given. Neither depends on the data window, so a
  /// compile with the whole 32-bit window yields them even when the real window is too small.
  Schedule planner_input;
  /// Whether the plain planner, whose time grows with the cube of a tile's blocks, is timed too.
  bool with_plain = true;
};

Workload prepare(std::string name, Graph graph, CompilerOptions options, bool with_plain = true) {
  Workload workload{std::move(name), std::move(graph), options, std::nullopt, {}, with_plain};
  workload.compiled = compile(workload.graph, options);
  const CompilerOptions whole_window{options.tile_count, 0,
                                     std::numeric_limits<std::uint32_t>::max()};
  workload.planner_input = compile(workload.graph, whole_window).value();
  return workload;
}

/// The default encoder, stacks of 1, 6 and 24 full-size layers on 64 and 1472 tiles, generated
/// graphs (a mixed one, a wide one on many tiles, many small blocks on one tile, and one with
/// 1,610 distinct tile counts, ten times the wide one's 161, in a window of 4 MiB that holds its
/// weights), and chains of 10,000 and 100,000 GELUs on one tile. The plain planner is left out
/// where it would take minutes.
std::vector<Workload> workloads() {
  std::vector<Workload> all;
  all.push_back(prepare("encoder", encoder_graph(EncoderConfig{}).value(), CompilerOptions{}));
  const EncoderConfig full_size{128, 768, 12, 3072};
  for (const std::uint16_t tiles : {std::uint16_t{64}, std::uint16_t{1472}}) {
    for (const std::size_t layers : {std::size_t{1}, std::size_t{6}, std::size_t{24}}) {
      all.push_back(prepare("stack" + std::to_string(layers) + "/" + std::to_string(tiles),
                            testing::encoder_stack(full_size, layers).value(),
                            CompilerOptions{tiles, 0x52000, 0xE0000}));
    }
  }
  all.push_back(prepare("random400/64", testing::generated_graph(1, 400, 96),
                        CompilerOptions{64, 0x52000, 0xE0000}));
  all.push_back(prepare("random1000/1472", testing::generated_graph(2, 1000, 256),
                        CompilerOptions{1472, 0x52000, 0xE0000}));
  all.push_back(prepare("random1500/1", testing::generated_graph(3, 1500, 12),
                        CompilerOptions{1, 0x52000, 0xE0000}));
  all.push_back(prepare("counts1610/2048", testing::generated_tile_counts(4, 1610),
                        CompilerOptions{2048, 0x52000, 0x452000}, false));
  all.push_back(
      prepare("chain10000/1", testing::gelu_chain(10000), CompilerOptions{1, 0x52000, 0xE0000}));
  all.push_back(prepare("chain100000/1", testing::gelu_chain(100000),
                        CompilerOptions{1, 0x52000, 0xE0000}, false));
  return all;
}

/// Heap bytes of one compile: its peak and what the returned schedule keeps, both above the
/// heap in use before the call.
void count_compile_memory(benchmark::State& state, const Workload& workload) {
  const HeapUsage before = heap_usage();
  reset_heap_peak();
  const Result<Schedule> schedule = compile(workload.graph, workload.options);
  const HeapUsage after = heap_usage();
  const auto peak = static_cast<double>(after.peak - before.in_use);
  state.counters["peak_bytes"] =
      benchmark::Counter(peak, benchmark::Counter::kDefaults, benchmark::Counter::kIs1024);
  if (!schedule) {
    return;
  }
  const auto result = static_cast<double>(after.in_use - before.in_use + sizeof(Schedule));
  state.counters["result_bytes"] =
      benchmark::Counter(result, benchmark::Counter::kDefaults, benchmark::Counter::kIs1024);
  state.counters["peak_per_result"] = peak / result;
}

void label_outcome(benchmark::State& state, const Workload& workload) {
  const Result<Schedule>& compiled = *workload.compiled;
  if (compiled) {
    state.SetLabel(std::to_string(compiled->allocations.size()) + " allocations");
  } else {
    state.SetLabel(compiled.error().message);
  }
}

void compile_benchmark(benchmark::State& state, const Workload& workload) {
  count_compile_memory(state, workload);
  for (auto _ : state) {
    Result<Schedule> schedule = compile(workload.graph, workload.options);
    benchmark::DoNotOptimize(schedule);
  }
  label_outcome(state, workload);
}

/// A planner's signature, shared by `plan_memory` and the plain planner it is measured against.
using Planner = Result<std::vector<Allocation>> (*)(const Graph&, std::span<const Layout>,
                                                    std::span<const Phase>, const CompilerOptions&);

void planner_benchmark(benchmark::State& state, const Workload& workload, Planner planner) {
  const Schedule& input = workload.planner_input;
  for (auto _ : state) {
    Result<std::vector<Allocation>> allocations =
        planner(workload.graph, input.layouts, input.phases, workload.options);
    benchmark::DoNotOptimize(allocations);
  }
  label_outcome(state, workload);
}

void copy_benchmark(benchmark::State& state, const Workload& workload) {
  const Schedule& schedule = workload.compiled->value();
  for (auto _ : state) {
    Schedule copy = schedule;
    benchmark::DoNotOptimize(copy);
  }
  label_outcome(state, workload);
}

/// The console report, then per workload the medians and the ratios that the targets are
/// stated in, all from CPU time, and how planning the chain grows with its length.
class RatioReporter : public benchmark::ConsoleReporter {
public:
  /// Coloured only on a terminal, like the library's own console report.
  RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) != 0 ? OO_ColorTabular : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    // With repetitions the median, reported after the single runs, replaces them.
    for (const Run& run : runs) {
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.error_occurred || (run.run_type != Run::RT_Iteration && !median)) {
        continue;
      }
      const std::string name = run.run_name.str();
      const std::size_t slash = name.find('/');
      const std::string kind = name.substr(0, slash);
      // The evaluation cases (evaluate_benchmark.cpp) are compared with NumPy by the script.
      if (kind != "compile" && kind != "plan" && kind != "plain" && kind != "copy") {
        continue;
      }
      Times& times = workloads_[name.substr(slash + 1)];
      const double multiplier = benchmark::GetTimeUnitMultiplier(run.time_unit);
      const Time time{run.GetAdjustedCPUTime() / multiplier,
                      run.GetAdjustedRealTime() / multiplier};
      if (kind == "compile") {
        times.compile = time;
        if (const auto peak = run.counters.find("peak_per_result"); peak != run.counters.end()) {
          times.peak_per_result = peak->second.value;
        }
      } else if (kind == "plan") {
        times.plan = time;
      } else if (kind == "plain") {
        times.plain = time;
      } else if (kind == "copy") {
        times.copy = time;
      }
    }
  }

  void Finalize() override {
    std::ostream& out = GetOutputStream();
    out << "\nCPU time of the running thread, wall time in brackets; ratios of CPU times\n"
        << std::left << std::setw(17) << "workload" << std::right << std::setw(22) << "compile"
        << std::setw(22) << "plan_memory" << std::setw(11) << "plain" << std::setw(11) << "copy"
        << std::setw(14) << "compile/copy" << std::setw(15) << "plain/compile" << std::setw(12)
        << "plain/plan" << std::setw(13) << "peak/result" << '\n';
    for (const auto& [name, times] : workloads_) {
      out << std::left << std::setw(17) << name << std::right << std::setw(22)
          << both_text(times.compile) << std::setw(22) << both_text(times.plan) << std::setw(11)
          << cpu_text(times.plain) << std::setw(11) << cpu_text(times.copy) << std::setw(14)
          << ratio(times.compile, times.copy) << std::setw(15) << ratio(times.plain, times.compile)
          << std::setw(12) << ratio(times.plain, times.plan) << std::setw(13)
          << value_text(times.peak_per_result) << '\n';
    }
    // n log n from 10,000 to 100,000 is 10 x log(100000) / log(10000) = 12.5 times the time.
    const auto short_chain = workloads_.find("chain10000/1");
    const auto long_chain = workloads_.find("chain100000/1");
    if (short_chain != workloads_.end() && long_chain != workloads_.end()) {
      out << "\nplanning the chain, 100,000 against 10,000 operations: "
          << ratio(long_chain->second.plan, short_chain->second.plan)
          << " times the CPU time (n log n: 12.5)\n";
    }
  }

private:
  /// CPU and wall seconds of one median.
  struct Time {
    double cpu = 0;
    double wall = 0;
  };

  struct Times {
    std::optional<Time> compile;
    std::optional<Time> plan;
    std::optional<Time> plain;
    std::optional<Time> copy;
    std::optional<double> peak_per_result;
  };

  static std::string value_text(std::optional<double> value) {
    if (!value) {
      return "-";
    }
    std::ostringstream text;
    text.precision(3);
    text << *value;
    return text.str();
  }

  static std::string seconds_text(double seconds) {
    std::ostringstream text;
    text.precision(3);
    if (seconds >= 1) {
      text << seconds << " s";
    } else if (seconds >= 1e-3) {
      text << seconds * 1e3 << " ms";
    } else {
      text << seconds * 1e6 << " us";
    }
    return text.str();
  }

  static std::string cpu_text(std::optional<Time> time) {
    return time ? seconds_text(time->cpu) : "-";
  }

  static std::string both_text(std::optional<Time> time) {
    return time ? seconds_text(time->cpu) + " (" + seconds_text(time->wall) + ")" : "-";
  }

  static std::string ratio(std::optional<Time> numerator, std::optional<Time> denominator) {
    if (!numerator || !denominator || denominator->cpu == 0) {
      return "-";
    }
    return value_text(numerator->cpu / denominator->cpu);
  }

  std::map<std::string, Times> workloads_;
};

} // namespace
} // namespace orvik_compiler::bench

int main(int argc, char** argv) {
  using namespace orvik_compiler::bench;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  // Registered benchmarks keep references into this vector, which never changes afterwards.
  const std::vector<Workload> all = workloads();
  for (const Workload& workload : all) {
    benchmark::RegisterBenchmark(("compile/" + workload.name).c_str(), compile_benchmark,
                                 std::cref(workload))
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(("plan/" + workload.name).c_str(), planner_benchmark,
                                 std::cref(workload), &orvik_compiler::plan_memory)
        ->Unit(benchmark::kMicrosecond);
    if (workload.with_plain) {
      benchmark::RegisterBenchmark(("plain/" + workload.name).c_str(), planner_benchmark,
                                   std::cref(workload), &orvik_compiler::testing::plain_plan_memory)
          ->Unit(benchmark::kMicrosecond);
    }
    if (workload.compiled->has_value()) {
      benchmark::RegisterBenchmark(("copy/" + workload.name).c_str(), copy_benchmark,
                                   std::cref(workload))
          ->Unit(benchmark::kMicrosecond);
    }
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
