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
#include <utility>
#include <variant>

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

DType dtype(FuzzedDataProvider& in) {
  return in.ConsumeIntegralInRange<int>(0, 3) == 0 ? DType::I32 : DType::F32;
}

std::uint64_t axis(FuzzedDataProvider& in) {
  return in.ConsumeIntegralInRange<std::uint64_t>(0, 4);
}

/// Small slice bounds mostly, any 64-bit values sometimes.
std::uint64_t bound(FuzzedDataProvider& in) {
  return in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint64_t>(0, 12)
                          : in.ConsumeIntegral<std::uint64_t>();
}

using Binary = Result<TensorId> (Graph::*)(std::string, TensorId, TensorId);
using Unary = Result<TensorId> (Graph::*)(std::string, TensorId);
using AlongAxis = Result<TensorId> (Graph::*)(std::string, TensorId, std::uint64_t);

// Builder methods drawn by position, every kind of each shape of call.
constexpr Binary binary_methods[] = {
    &Graph::matmul,  &Graph::add,     &Graph::mul, &Graph::sub,          &Graph::div,
    &Graph::maximum, &Graph::minimum, &Graph::pow, &Graph::batch_matmul, &Graph::gather};
constexpr Unary unary_methods[] = {&Graph::gelu, &Graph::erf,  &Graph::tanh,   &Graph::exp,
                                   &Graph::log,  &Graph::sqrt, &Graph::neg,    &Graph::reciprocal,
                                   &Graph::abs,  &Graph::relu, &Graph::sigmoid};
constexpr AlongAxis axis_methods[] = {&Graph::softmax, &Graph::reduce_sum, &Graph::reduce_mean,
                                      &Graph::reduce_max};

template <class Method, std::size_t size>
Method any_of(FuzzedDataProvider& in, const Method (&methods)[size]) {
  return methods[in.ConsumeIntegralInRange<std::size_t>(0, size - 1)];
}

/// One builder call over every kind; an operand that names nothing must throw
/// std::out_of_range and change nothing.
void build(FuzzedDataProvider& in, Graph& graph) {
  std::vector<TensorId> operands{tensor_id(in, graph), tensor_id(in, graph)};
  const Graph before = graph;
  try {
    switch (in.ConsumeIntegralInRange<int>(0, 11)) {
    case 0:
      (void)(graph.*any_of(in, binary_methods))(name(in), operands[0], operands[1]);
      break;
    case 1:
      (void)(graph.*any_of(in, unary_methods))(name(in), operands[0]);
      break;
    case 2:
      (void)(graph.*any_of(in, axis_methods))(name(in), operands[0], axis(in));
      break;
    case 3: {
      std::vector<std::uint64_t> permutation = shape(in);
      for (std::uint64_t& each : permutation) {
        each %= 5;
      }
      (void)graph.transpose(name(in), operands[0], permutation);
      break;
    }
    case 4:
      (void)graph.layer_norm(name(in), operands[0], in.ConsumeFloatingPoint<float>());
      break;
    case 5:
      (void)graph.reshape(name(in), operands[0], shape(in));
      break;
    case 6:
      (void)graph.broadcast(name(in), operands[0], shape(in));
      break;
    case 7: {
      std::string op_name = name(in);
      const std::uint64_t along = axis(in);
      const std::uint64_t start = bound(in);
      const std::uint64_t stop = bound(in);
      (void)graph.slice(std::move(op_name), operands[0], along, start, stop, bound(in));
      break;
    }
    case 8:
      // No operand, one, or several, repeats and ids that name nothing included.
      operands.resize(in.ConsumeIntegralInRange<std::size_t>(0, 4), TensorId{operands[0]});
      for (std::size_t i = 2; i < operands.size(); ++i) {
        operands[i] = tensor_id(in, graph);
      }
      (void)graph.concat(name(in), operands, axis(in));
      break;
    case 9:
      (void)graph.cast(name(in), operands[0], dtype(in));
      break;
    default:
      operands.resize(1);
      graph.mark_output(operands[0]);
      break;
    }
  } catch (const std::out_of_range&) {
    bool missing = false;
    for (const TensorId operand : operands) {
      missing = missing || operand.index >= before.tensors.size();
    }
    if (!missing) {
      finding("std::out_of_range for operands inside the graph");
    }
    if (graph != before) {
      finding("a builder call that threw changed the graph");
    }
  } catch (const std::overflow_error&) {
    if (graph != before) {
      finding("a builder call whose element count overflows changed the graph");
    }
  }
}

/// An alternative of `OpKind` chosen by position, its parameters left at their defaults.
template <std::size_t... positions>
OpKind any_kind(std::size_t position, std::index_sequence<positions...>) {
  const OpKind::Variant kinds[] = {OpKind::Variant(std::in_place_index<positions>)...};
  return OpKind{kinds[position]};
}

OpKind any_kind(FuzzedDataProvider& in) {
  constexpr std::size_t count = std::variant_size_v<OpKind::Variant>;
  return any_kind(in.ConsumeIntegralInRange<std::size_t>(0, count - 1),
                  std::make_index_sequence<count>());
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
    // An op that no rule made: any kind, any two operands, which may name nothing, and any
    // output shape.
    std::string op_name = name(in);
    OpKind kind = any_kind(in);
    std::vector<TensorId> inputs{tensor_id(in, graph), tensor_id(in, graph)};
    testing::append_unchecked_op(graph, std::move(op_name), std::move(kind), std::move(inputs),
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
      std::vector<std::uint64_t> dims = shape(in);
      (void)(kind == 0 ? graph.input(tensor_name, std::move(dims), dtype(in))
                       : graph.weight(tensor_name, std::move(dims), dtype(in)));
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
