// Bytes become builder calls and direct edits of the graph records, then validation and a
// compilation with options from the bytes. Every outcome must be a schedule that keeps its
// invariants, a CompileError, or a standard exception for a caller error of the kind the
// library documents; anything else stops the fuzzer.

#include "finding.hpp"

#include "testing/generated_graphs.hpp"
#include "testing/hand_made_ops.hpp"

#include <orvik_compiler/orvik_compiler.hpp>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace {

using namespace orvik_compiler;

std::vector<std::uint64_t> shape(FuzzedDataProvider& in) {
  std::vector<std::uint64_t> dims(in.ConsumeIntegralInRange<std::size_t>(0, 4));
  for (std::uint64_t& dim : dims) {
    // Mostly small extents, sometimes any 64-bit value.
    dim = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint64_t>(0, 300)
                           : in.ConsumeIntegral<std::uint64_t>();
  }
  return dims;
}

/// An id that usually names a tensor and sometimes names nothing.
TensorId tensor_id(FuzzedDataProvider& in, const Graph& graph) {
  return TensorId{in.ConsumeIntegralInRange<std::uint64_t>(0, graph.tensors.size())};
}

std::string name(FuzzedDataProvider& in) {
  return in.ConsumeRandomLengthString(8);
}

bool overflows(const Tensor& tensor) {
  try {
    std::uint64_t bytes = 0;
    return __builtin_mul_overflow(tensor.elements(), tensor.dtype.size(), &bytes);
  } catch (const std::overflow_error&) {
    return true;
  }
}

/// One builder call; an operand that names nothing must throw std::out_of_range and change
/// nothing.
void build(FuzzedDataProvider& in, Graph& graph) {
  const TensorId a = tensor_id(in, graph);
  const TensorId b = tensor_id(in, graph);
  const bool missing = a.index >= graph.tensors.size() || b.index >= graph.tensors.size();
  const Graph before = graph;
  try {
    switch (in.ConsumeIntegralInRange<int>(0, 8)) {
    case 0:
      (void)graph.matmul(name(in), a, b);
      break;
    case 1:
      (void)graph.add(name(in), a, b);
      break;
    case 2:
      (void)graph.mul(name(in), a, b);
      break;
    case 3: {
      std::vector<std::uint64_t> permutation = shape(in);
      for (std::uint64_t& axis : permutation) {
        axis %= 5;
      }
      (void)graph.transpose(name(in), a, permutation);
      break;
    }
    case 4:
      (void)graph.layer_norm(name(in), a, in.ConsumeFloatingPoint<float>());
      break;
    case 5:
      (void)graph.softmax(name(in), a, in.ConsumeIntegralInRange<std::uint64_t>(0, 4));
      break;
    case 6:
      (void)graph.gelu(name(in), a);
      break;
    case 7:
      (void)graph.reshape(name(in), a, shape(in));
      break;
    default:
      graph.mark_output(a);
      break;
    }
  } catch (const std::out_of_range&) {
    if (!missing) {
      finding("std::out_of_range for operands inside the graph");
    }
    if (graph != before) {
      finding("a builder call that threw changed the graph");
    }
  } catch (const std::overflow_error&) {
    if (graph != before) {
      finding("a reshape whose element count overflows changed the graph");
    }
  }
}

/// A direct edit of the records that bypasses the builder.
void edit(FuzzedDataProvider& in, Graph& graph) {
  const std::uint64_t any = in.ConsumeIntegralInRange<std::uint64_t>(0, graph.tensors.size() + 1);
  switch (in.ConsumeIntegralInRange<int>(0, 7)) {
  case 0:
    if (any < graph.tensors.size()) {
      graph.tensors[any].shape = shape(in);
    }
    break;
  case 1:
    if (any < graph.tensors.size()) {
      graph.tensors[any].id = tensor_id(in, graph);
    }
    break;
  case 2:
    if (any < graph.tensors.size()) {
      graph.tensors[any].producer =
          in.ConsumeBool()
              ? std::nullopt
              : std::optional<OpId>(
                    OpId{in.ConsumeIntegralInRange<std::uint64_t>(0, graph.ops.size() + 1)});
    }
    break;
  case 3:
    if (any < graph.ops.size()) {
      graph.ops[any].inputs.push_back(tensor_id(in, graph));
    }
    break;
  case 4:
    if (any < graph.ops.size()) {
      graph.ops[any].output = tensor_id(in, graph);
    }
    break;
  case 5:
    if (any < graph.ops.size()) {
      graph.ops[any].id = OpId{in.ConsumeIntegralInRange<std::uint64_t>(0, graph.ops.size())};
    }
    break;
  case 6: {
    // An op that no rule made: any two operands, which may name nothing, and any output shape.
    std::string op_name = name(in);
    std::vector<TensorId> inputs{tensor_id(in, graph), tensor_id(in, graph)};
    testing::append_unchecked_op(graph, std::move(op_name), OpKind::Gelu{}, std::move(inputs),
                                 shape(in));
    break;
  }
  default:
    graph.outputs.push_back(tensor_id(in, graph)); // may name nothing
    break;
  }
}

CompilerOptions options_from(FuzzedDataProvider& in) {
  CompilerOptions options;
  // Any tile count stays reachable, but one in 64 inputs: a schedule on tens of thousands of
  // tiles takes long enough to slow the whole run down.
  constexpr std::uint8_t any_tile_count_one_in = 64;
  options.tile_count = in.ConsumeIntegralInRange<std::uint8_t>(1, any_tile_count_one_in) == 1
                           ? in.ConsumeIntegral<std::uint16_t>()
                           : in.ConsumeIntegralInRange<std::uint16_t>(0, 130);
  if (in.ConsumeBool()) {
    options.data_base = in.ConsumeIntegral<std::uint32_t>();
    options.data_limit = in.ConsumeBool() ? in.ConsumeIntegral<std::uint32_t>()
                                          : options.data_base + in.ConsumeIntegral<std::uint16_t>();
  }
  return options;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  Graph graph;
  const int steps = in.ConsumeIntegralInRange<int>(0, 24);
  for (int step = 0; step < steps; ++step) {
    const int kind = in.ConsumeIntegralInRange<int>(0, 9);
    if (kind < 2) {
      const std::string tensor_name = name(in);
      (void)(kind == 0 ? graph.input(tensor_name, shape(in))
                       : graph.weight(tensor_name, shape(in)));
    } else if (kind < 8) {
      build(in, graph);
    } else {
      edit(in, graph);
    }
  }
  const CompilerOptions options = options_from(in);
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
