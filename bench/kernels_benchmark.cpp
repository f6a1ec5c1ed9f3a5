// The interpreter's kernels against the plain loops: one-operation graphs of every family of the
// element-wise, batched-product, reduction, data-movement and cast kinds, at the sizes an encoder
// layer (sequence 128, hidden 768, 12 heads) or its embeddings meet, each run through
// `evaluate_typed` as "kernels/<case>" and through the plain interpreter as
// "kernels_plain/<case>". Each "kernels/" case also reports `per_copy`: its thread CPU time
// over that of copying its largest tensor's bytes the same way (a `Reshape` of as many values,
// which reads and writes each once; for a gather, which reads only the rows it writes, its
// output's bytes), both timed in alternation, so a kernel at memory speed reads
// about 1 and one bound by arithmetic reads how many copies its work costs. Run with
// --benchmark_filter=kernels and repetitions, and compare the medians' CPU times.

#include "testing/plain_evaluate.hpp"

#include <benchmark/benchmark.h>
#include <time.h>

#include <orvik_compiler/orvik_compiler.hpp>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace orvik_compiler::bench {
namespace {

using Shape = std::vector<std::uint64_t>;

/// Values spread over [-2, 2), or over [0.25, 4.25) for the functions of positive numbers.
std::vector<float> spread(std::uint64_t count, bool positive) {
  std::vector<float> values(count);
  for (std::uint64_t i = 0; i < count; ++i) {
    values[i] = static_cast<float>((i * 7919U) % 4001U) / 1000.0F + (positive ? 0.25F : -2.0F);
  }
  return values;
}

std::uint64_t elements(const Shape& shape) {
  std::uint64_t count = 1;
  for (const std::uint64_t extent : shape) {
    count *= extent;
  }
  return count;
}

/// A graph of one operation and values for its inputs, which the spans of `bound` point into.
struct Workload {
  Graph graph;
  std::vector<TensorData> data;
  std::vector<TensorValue> bound;

  /// An F32 input of `shape` with spread values.
  TensorId f32(const Shape& shape, bool positive = false) {
    const TensorId id = graph.input("in" + std::to_string(graph.tensors.size()), shape);
    data.emplace_back(spread(elements(shape), positive));
    return id;
  }
  /// An I32 input of `shape` whose values stay below `limit`.
  TensorId i32(const Shape& shape, std::uint64_t limit) {
    const TensorId id = graph.input("in" + std::to_string(graph.tensors.size()), shape, DType::I32);
    std::vector<std::int32_t> values(elements(shape));
    for (std::uint64_t i = 0; i < values.size(); ++i) {
      values[i] = static_cast<std::int32_t>((i * 7919U) % limit);
    }
    data.emplace_back(std::move(values));
    return id;
  }
  /// Marks the operation's output and binds the inputs; `data` is complete and stays put.
  void finish(Result<TensorId> output) {
    graph.mark_output(output.value());
    std::size_t next = 0;
    for (const Tensor& tensor : graph.tensors) {
      if (!tensor.producer) {
        std::visit(
            [&](const auto& values) {
              bound.push_back({tensor.id, std::span(values.data(), values.size())});
            },
            data[next++]);
      }
    }
  }
};

struct Case {
  const char* name;
  std::function<void(Workload&)> build;
};

using Unary = Result<TensorId> (Graph::*)(std::string, TensorId);
using Binary = Result<TensorId> (Graph::*)(std::string, TensorId, TensorId);
using AlongAxis = Result<TensorId> (Graph::*)(std::string, TensorId, std::uint64_t);

const Shape million{1024, 1024};

Case unary(const char* name, Unary method, bool positive = false) {
  return {name, [=](Workload& w) { w.finish((w.graph.*method)("op", w.f32(million, positive))); }};
}

Case binary(const char* name, Binary method, bool positive = false) {
  return {name, [=](Workload& w) {
            const TensorId left = w.f32(million, positive);
            w.finish((w.graph.*method)("op", left, w.f32(million)));
          }};
}

Case reduction(const char* name, AlongAxis method, std::uint64_t axis) {
  return {name, [=](Workload& w) { w.finish((w.graph.*method)("op", w.f32({512, 768}), axis)); }};
}

std::vector<Case> cases() {
  return {
      unary("gelu/1M", &Graph::gelu),
      unary("erf/1M", &Graph::erf),
      unary("tanh/1M", &Graph::tanh),
      unary("exp/1M", &Graph::exp),
      unary("log/1M", &Graph::log, true),
      unary("sqrt/1M", &Graph::sqrt, true),
      unary("reciprocal/1M", &Graph::reciprocal),
      unary("neg/1M", &Graph::neg),
      unary("abs/1M", &Graph::abs),
      unary("relu/1M", &Graph::relu),
      unary("sigmoid/1M", &Graph::sigmoid),
      binary("add/1M", &Graph::add),
      binary("mul/1M", &Graph::mul),
      binary("sub/1M", &Graph::sub),
      binary("div/1M", &Graph::div),
      binary("maximum/1M", &Graph::maximum),
      binary("minimum/1M", &Graph::minimum),
      binary("pow/1M", &Graph::pow, true),
      {"softmax_last/12x128x128",
       [](Workload& w) {
         w.finish(w.graph.softmax("op", w.f32({12, 128, 128}), 2));
       }},
      {"softmax_first/128x12x128",
       [](Workload& w) {
         w.finish(w.graph.softmax("op", w.f32({128, 12, 128}), 0));
       }},
      {"layer_norm/128x768",
       [](Workload& w) {
         w.finish(w.graph.layer_norm("op", w.f32({128, 768}), 1e-5F));
       }},
      {"transpose/128x12x64_to_12x128x64",
       [](Workload& w) {
         w.finish(w.graph.transpose("op", w.f32({128, 12, 64}), {1, 0, 2}));
       }},
      {"transpose/12x128x64_to_12x64x128",
       [](Workload& w) {
         w.finish(w.graph.transpose("op", w.f32({12, 128, 64}), {0, 2, 1}));
       }},
      {"batch_matmul/12x128x64x128",
       [](Workload& w) {
         const TensorId left = w.f32({12, 128, 64});
         w.finish(w.graph.batch_matmul("op", left, w.f32({12, 64, 128})));
       }},
      {"batch_matmul_shared/1x128x768x768",
       [](Workload& w) {
         const TensorId left = w.f32({1, 128, 768});
         w.finish(w.graph.batch_matmul("op", left, w.f32({768, 768})));
       }},
      reduction("reduce_sum_last/512x768", &Graph::reduce_sum, 1),
      reduction("reduce_sum_first/512x768", &Graph::reduce_sum, 0),
      reduction("reduce_mean_last/512x768", &Graph::reduce_mean, 1),
      reduction("reduce_mean_first/512x768", &Graph::reduce_mean, 0),
      reduction("reduce_max_last/512x768", &Graph::reduce_max, 1),
      reduction("reduce_max_first/512x768", &Graph::reduce_max, 0),
      {"gather/128_of_30522x768",
       [](Workload& w) {
         const TensorId table = w.f32({30522, 768});
         w.finish(w.graph.gather("op", table, w.i32({1, 128}, 30522)));
       }},
      {"concat/1x1x768+1x196x768",
       [](Workload& w) {
         const TensorId first = w.f32({1, 1, 768});
         w.finish(w.graph.concat("op", {first, w.f32({1, 196, 768})}, 1));
       }},
      {"slice/128x2304_to_128x768",
       [](Workload& w) {
         w.finish(w.graph.slice("op", w.f32({128, 2304}), 1, 768, 1536));
       }},
      {"slice_step/12x128x128_every_2nd",
       [](Workload& w) {
         w.finish(w.graph.slice("op", w.f32({12, 128, 128}), 2, 0, 128, 2));
       }},
      {"broadcast/1x768_to_128x768",
       [](Workload& w) {
         w.finish(w.graph.broadcast("op", w.f32({1, 768}), {128, 768}));
       }},
      {"broadcast/1x1x1x128_to_1x12x128x128",
       [](Workload& w) {
         w.finish(w.graph.broadcast("op", w.f32({1, 1, 1, 128}), {1, 12, 128, 128}));
       }},
      {"cast_to_f32/1M",
       [](Workload& w) { w.finish(w.graph.cast("op", w.i32(million, 1U << 30U), DType::F32)); }},
      {"cast_to_i32/1M",
       [](Workload& w) { w.finish(w.graph.cast("op", w.f32(million), DType::I32)); }},
  };
}

using Evaluator = Result<std::vector<TensorData>> (*)(const Graph&, std::span<const TensorValue>);

double thread_seconds() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

/// The kernel's thread CPU time over a copy of its largest tensor's values (of its output's for
/// a gather) through `evaluate_typed`, over `rounds` alternations of one run each.
double per_copy(const Workload& workload, int rounds) {
  const Graph& graph = workload.graph;
  std::uint64_t largest = graph.tensors[graph.outputs.front().index].elements();
  if (!std::holds_alternative<OpKind::Gather>(graph.ops.front().kind.value)) {
    for (const Tensor& tensor : graph.tensors) {
      largest = std::max(largest, tensor.elements());
    }
  }
  Workload copy;
  const TensorId input = copy.f32({largest});
  copy.finish(copy.graph.reshape("op", input, {largest}));
  double kernel_seconds = 0;
  double copy_seconds = 0;
  for (int round = 0; round < rounds; ++round) {
    const double start = thread_seconds();
    benchmark::DoNotOptimize(evaluate_typed(workload.graph, workload.bound));
    const double middle = thread_seconds();
    benchmark::DoNotOptimize(evaluate_typed(copy.graph, copy.bound));
    copy_seconds += thread_seconds() - middle;
    kernel_seconds += middle - start;
  }
  return kernel_seconds / copy_seconds;
}

void run(benchmark::State& state, const Case& c, Evaluator evaluator) {
  Workload workload;
  try {
    c.build(workload);
    const Result<std::vector<TensorData>> first = evaluator(workload.graph, workload.bound);
    if (!first) {
      state.SkipWithError(first.error().message.c_str());
      return;
    }
  } catch (const std::exception& error) {
    state.SkipWithError(error.what());
    return;
  }
  for (auto _ : state) {
    Result<std::vector<TensorData>> outputs = evaluator(workload.graph, workload.bound);
    benchmark::DoNotOptimize(outputs);
  }
  if (evaluator == &evaluate_typed) {
    state.counters["per_copy"] = per_copy(workload, 20);
  }
}

bool register_cases() {
  for (const Case& c : cases()) {
    benchmark::RegisterBenchmark((std::string("kernels/") + c.name).c_str(), run, c,
                                 &evaluate_typed)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((std::string("kernels_plain/") + c.name).c_str(), run, c,
                                 &testing::plain_evaluate)
        ->Unit(benchmark::kMillisecond);
  }
  return true;
}

[[maybe_unused]] const bool registered = register_cases();

} // namespace
} // namespace orvik_compiler::bench
