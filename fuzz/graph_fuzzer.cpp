// Bytes become builder calls and direct edits of the graph records (graph_fuzzer_input.hpp),
// then validation and a compilation with options from the bytes. Every outcome must be a schedule
// that keeps its invariants, a CompileError, or a standard exception for a caller error of the kind
// the library documents; anything else stops the fuzzer.

#include "finding.hpp"
#include "graph_fuzzer_input.hpp"

#include <orvik_compiler/orvik_compiler.hpp>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>

namespace {

using namespace orvik_compiler;

bool overflows(const Tensor& tensor) {
  try {
    std::uint64_t bytes = 0;
    return __builtin_mul_overflow(tensor.elements(), tensor.dtype.size(), &bytes);
  } catch (const std::overflow_error&) {
    return true;
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const fuzzing::GraphInput input = fuzzing::decode_graph_input(in);
  const Graph& graph = input.graph;
  const CompilerOptions& options = input.options;
  const bool valid = graph.validate().has_value();

  Result<Schedule> schedule = CompileError::graph("not compiled");
  try {
    schedule = compile(graph, options);
  } catch (const std::overflow_error&) {
    bool any_overflow = false;
    for (const Tensor& tensor : graph.tensors) {
      any_overflow = any_overflow || overflows(tensor);
    }
    if (!any_overflow) {
      finding("std::overflow_error without a tensor whose size overflows");
    }
    return 0;
  } catch (const std::out_of_range&) {
    bool dangling_output = false;
    for (const TensorId output : graph.outputs) {
      dangling_output = dangling_output || output.index >= graph.tensors.size();
    }
    if (!dangling_output) {
      finding("std::out_of_range without an output that names nothing");
    }
    return 0;
  }
  if (!schedule) {
    if (!valid && schedule.error() != graph.validate().error()) {
      finding("an invalid graph did not report its validation error first");
    }
    return 0;
  }
  if (!valid) {
    finding("an invalid graph compiled");
  }
  if (const Result<void> sound = verify_schedule(graph, options, *schedule); !sound) {
    finding("schedule invariant broken: " + sound.error().message);
  }
  if (compile(graph, options) != schedule) {
    finding("compiling twice gave different schedules");
  }
  return 0;
}
