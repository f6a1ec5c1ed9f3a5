// The host evaluation benchmark: one full-size encoder layer (sequence 128, hidden 768, 12 heads,
// feed-forward 3072) through `encoder_reference` and, as the equivalent graph, through
// `evaluate`; the matrix products of that layer through `kernels::matmul`; and the processor's
// clock, from which the share of its peak single-precision rate follows.

#include "heap_counter.hpp"

#include <benchmark/benchmark.h>

#include <orvik_compiler/orvik_compiler.hpp>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace orvik_compiler::bench {
namespace {

const EncoderConfig full_size{128, 768, 12, 3072};

/// The self-check's input pattern extended to the layer: element i is (i - 9) / 16.
std::vector<float> layer_input(const EncoderConfig& config) {
  std::vector<float> input(config.sequence * config.hidden);
  for (std::size_t i = 0; i < input.size(); ++i) {
    input[i] = (static_cast<float>(i) - 9.0F) / 16.0F;
  }
  return input;
}

void reference_layer(benchmark::State& state) {
  const std::vector<float> input = layer_input(full_size);
  const EncoderWeights weights = EncoderWeights::deterministic(full_size);
  for (auto _ : state) {
    Result<std::vector<float>> result = encoder_reference(full_size, input, weights);
    benchmark::DoNotOptimize(result);
  }
}

/// The graph's input and weights bound by name.
std::vector<TensorValue> bind_layer(const Graph& graph, const std::vector<float>& input,
                                    const EncoderWeights& weights) {
  const std::pair<const char*, const std::vector<float>*> named[] = {
      {"input", &input},   {"wq", &weights.wq}, {"wk", &weights.wk}, {"wv", &weights.wv},
      {"wo", &weights.wo}, {"w1", &weights.w1}, {"w2", &weights.w2}};
  std::vector<TensorValue> values;
  for (const auto& [name, data] : named) {
    for (const Tensor& tensor : graph.tensors) {
      if (tensor.name == name) {
        values.push_back({tensor.id, *data});
      }
    }
  }
  return values;
}

/// Bytes of the largest set of computed values alive at one time while the graph's operations
/// run in order: each operation's output, with every earlier output that a later operation
/// still reads or that is a result. Bound values are the caller's and not counted.
std::uint64_t largest_live_bytes(const Graph& graph) {
  std::vector<std::uint64_t> readers_end(graph.tensors.size(), 0);
  std::vector<bool> is_output(graph.tensors.size(), false);
  for (std::uint64_t j = 0; j < graph.ops.size(); ++j) {
    for (const TensorId input : graph.ops[j].inputs) {
      readers_end[input.index] = j + 1;
    }
  }
  for (const TensorId output : graph.outputs) {
    is_output[output.index] = true;
  }
  std::uint64_t largest = 0;
  for (std::uint64_t j = 0; j < graph.ops.size(); ++j) {
    std::uint64_t live = 0;
    for (std::uint64_t p = 0; p <= j; ++p) {
      const Tensor& tensor = graph.tensors[graph.ops[p].output.index];
      if (p == j || readers_end[tensor.id.index] > j || is_output[tensor.id.index]) {
        live += tensor.elements() * tensor.dtype.size();
      }
    }
    largest = std::max(largest, live);
  }
  return largest;
}

void evaluate_layer(benchmark::State& state) {
  const Graph graph = encoder_graph(full_size).value();
  const std::vector<float> input = layer_input(full_size);
  const EncoderWeights weights = EncoderWeights::deterministic(full_size);
  const std::vector<TensorValue> values = bind_layer(graph, input, weights);

  const HeapUsage before = heap_usage();
  reset_heap_peak();
  {
    const Result<std::vector<std::vector<float>>> outputs = evaluate(graph, values);
    if (!outputs) {
      state.SkipWithError(outputs.error().message.c_str());
      return;
    }
  }
  const auto peak = static_cast<double>(heap_usage().peak - before.in_use);
  std::uint64_t output_bytes = 0;
  for (const TensorId output : graph.outputs) {
    output_bytes += graph.tensors[output.index].elements() * DType{}.size();
  }
  const auto live = static_cast<double>(largest_live_bytes(graph));
  state.counters["peak_bytes"] =
      benchmark::Counter(peak, benchmark::Counter::kDefaults, benchmark::Counter::kIs1024);
  state.counters["live_bytes"] =
      benchmark::Counter(live, benchmark::Counter::kDefaults, benchmark::Counter::kIs1024);
  state.counters["peak_per_live"] = peak / live;
  state.counters["peak_per_live_and_outputs"] = peak / (live + static_cast<double>(output_bytes));

  for (auto _ : state) {
    Result<std::vector<std::vector<float>>> outputs = evaluate(graph, values);
    benchmark::DoNotOptimize(outputs);
  }
}

/// One of the layer's matrix products: rows x inner times inner x columns.
void matmul(benchmark::State& state) {
  const auto rows = static_cast<std::uint64_t>(state.range(0));
  const auto inner = static_cast<std::uint64_t>(state.range(1));
  const auto columns = static_cast<std::uint64_t>(state.range(2));
  std::vector<float> left(rows * inner);
  std::vector<float> right(inner * columns);
  for (std::size_t i = 0; i < left.size(); ++i) {
    left[i] = static_cast<float>(i % 101) / 64.0F - 0.75F;
  }
  for (std::size_t i = 0; i < right.size(); ++i) {
    right[i] = static_cast<float>(i % 97) / 64.0F - 0.75F;
  }
  for (auto _ : state) {
    std::vector<float> result = kernels::matmul(left, right, rows, inner, columns);
    benchmark::DoNotOptimize(result);
  }
  // Floating-point operations per second: a product and a sum per term.
  state.counters["flops"] = benchmark::Counter(static_cast<double>(2 * rows * inner * columns),
                                               benchmark::Counter::kIsIterationInvariantRate,
                                               benchmark::Counter::kIs1000);
}

/// The core clock, from a chain of dependent integer additions, one per cycle; with repetitions,
/// read its "max" statistic.
void clock(benchmark::State& state) {
  constexpr std::int64_t chain = 1'000'000;
  for (auto _ : state) {
    std::uint64_t value = 0;
    for (std::int64_t i = 0; i < chain; ++i) {
#if defined(__x86_64__)
      __asm__ volatile("add $1, %0" : "+r"(value));
#else
      benchmark::DoNotOptimize(++value);
#endif
    }
    benchmark::DoNotOptimize(value);
  }
  state.counters["cycles"] =
      benchmark::Counter(static_cast<double>(chain), benchmark::Counter::kIsIterationInvariantRate,
                         benchmark::Counter::kIs1000);
}

BENCHMARK(reference_layer)->Name("layer/reference")->Unit(benchmark::kMillisecond);
BENCHMARK(evaluate_layer)->Name("layer/evaluate")->Unit(benchmark::kMillisecond);
BENCHMARK(matmul)
    ->Name("matmul")
    ->Args({128, 768, 768})
    ->Args({128, 768, 3072})
    ->Args({128, 3072, 768})
    ->Args({128, 768, 128})
    ->Unit(benchmark::kMillisecond);
// Time the processor spends on other guests counts as this thread's time but runs no cycles of
// it, so the fastest repetition is the best estimate of the clock.
BENCHMARK(clock)
    ->Name("clock")
    ->Unit(benchmark::kMillisecond)
    ->ComputeStatistics("max", [](const std::vector<double>& values) {
      return *std::max_element(values.begin(), values.end());
    });

} // namespace
} // namespace orvik_compiler::bench
