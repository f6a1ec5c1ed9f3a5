#pragma once

// The graph fuzzer's decoder: draws become builder calls, direct edits of the graph records and
// compiler options. It is a template over the source of draws (libFuzzer's FuzzedDataProvider
// in the fuzzer) so that a test can drive it with draws of its own choosing.
//
// The tile count is drawn after the graph and under a budget of layout tiles, since building,
// checking and destroying a schedule takes time in proportion to them: a graph of small
// tensors may have any tile count, one whose layouts would fill many tiles gets fewer.

#include "finding.hpp"

#include "testing/hand_made_ops.hpp"

#include <orvik_compiler/orvik_compiler.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace orvik_compiler::fuzzing {

/// The layout tiles one input may cost (see `tile_work`): under the sanitizers a few
/// milliseconds of compiling twice and verifying.
inline constexpr std::uint64_t tile_work_budget = 4096;

/// Tile counts drawn most of the time, like those of real targets.
inline constexpr std::uint16_t usual_tile_count = 130;

/// One term of a graph's tile work: the tiles of one layout, `min(wanted, tile count)`, times
/// how often the compilation walks them.
struct TileWorkTerm {
  std::uint64_t wanted = 0;
  std::uint64_t weight = 0;
};

/// The terms of the layout tiles a compilation of `graph` builds and walks: each tensor's layout
/// (and the allocations on it), and each operation's output layout once for its commands and
/// once more per operand, for the operand list each command copies and for the transfers that
/// bring the operand in. A layout's tiles on the largest target are computed once, so that
/// trying many tile counts applies no layout rule again. For a graph that does not validate the
/// terms stay an upper bound: an output id that names nothing, and a tensor whose byte count
/// overflows, want every tile.
inline std::vector<TileWorkTerm> tile_work_terms(const Graph& graph) {
  constexpr std::uint16_t largest = std::numeric_limits<std::uint16_t>::max();
  // Layouts go by position in the tensor list, whatever ids the records carry.
  std::vector<std::uint64_t> wanted;
  wanted.reserve(graph.tensors.size());
  for (const Tensor& tensor : graph.tensors) {
    try {
      wanted.push_back(layout_tile_count(tensor, largest));
    } catch (const std::overflow_error&) {
      wanted.push_back(largest);
    }
  }
  std::vector<TileWorkTerm> terms;
  terms.reserve(wanted.size() + graph.ops.size());
  for (const std::uint64_t tiles : wanted) {
    terms.push_back({tiles, 1});
  }
  for (const Op& op : graph.ops) {
    const std::uint64_t output =
        op.output.index < wanted.size() ? wanted[op.output.index] : largest;
    terms.push_back({output, 1 + op.inputs.size()});
  }
  return terms;
}

/// The work of `terms` on `tile_count` tiles; never less for more tiles.
inline std::uint64_t tile_work(std::span<const TileWorkTerm> terms, std::uint16_t tile_count) {
  // A layout has at least one tile, whatever the count.
  const std::uint64_t most = std::max<std::uint16_t>(tile_count, 1);
  std::uint64_t work = 0;
  for (const TileWorkTerm& term : terms) {
    work += std::min(term.wanted, most) * term.weight;
  }
  return work;
}

inline std::uint64_t tile_work(const Graph& graph, std::uint16_t tile_count) {
  return tile_work(tile_work_terms(graph), tile_count);
}

/// The largest tile count of at most `most` whose work stays within the budget, or 0 (which
/// `compile` rejects before any layout) when even one tile exceeds it.
inline std::uint16_t affordable_tile_count(const Graph& graph, std::uint16_t most) {
  const std::vector<TileWorkTerm> terms = tile_work_terms(graph);
  if (tile_work(terms, most) <= tile_work_budget) {
    return most;
  }
  // The work never falls as tiles grow: bisect with `low` within the budget (or 0) and `high`
  // over it.
  std::uint16_t low = 0;
  std::uint16_t high = most;
  while (high - low > 1) {
    const auto middle = static_cast<std::uint16_t>(low + (high - low) / 2);
    (tile_work(terms, middle) <= tile_work_budget ? low : high) = middle;
  }
  return low;
}

template <class Draws>
std::vector<std::uint64_t> shape(Draws& in) {
  std::vector<std::uint64_t> dims(in.template ConsumeIntegralInRange<std::size_t>(0, 4));
  for (std::uint64_t& dim : dims) {
    // Mostly small extents, sometimes any 64-bit value.
    dim = in.ConsumeBool() ? in.template ConsumeIntegralInRange<std::uint64_t>(0, 300)
                           : in.template ConsumeIntegral<std::uint64_t>();
  }
  return dims;
}

/// An id that usually names a tensor and sometimes names nothing.
template <class Draws>
TensorId tensor_id(Draws& in, const Graph& graph) {
  return TensorId{in.template ConsumeIntegralInRange<std::uint64_t>(0, graph.tensors.size())};
}

template <class Draws>
std::string name(Draws& in) {
  return in.ConsumeRandomLengthString(8);
}

template <class Draws>
DType dtype(Draws& in) {
  return in.template ConsumeIntegralInRange<int>(0, 3) == 0 ? DType::I32 : DType::F32;
}

template <class Draws>
std::uint64_t axis(Draws& in) {
  return in.template ConsumeIntegralInRange<std::uint64_t>(0, 4);
}

/// Small slice bounds mostly, any 64-bit values sometimes.
template <class Draws>
std::uint64_t bound(Draws& in) {
  return in.ConsumeBool() ? in.template ConsumeIntegralInRange<std::uint64_t>(0, 12)
                          : in.template ConsumeIntegral<std::uint64_t>();
}

using Binary = Result<TensorId> (Graph::*)(std::string, TensorId, TensorId);
using Unary = Result<TensorId> (Graph::*)(std::string, TensorId);
using AlongAxis = Result<TensorId> (Graph::*)(std::string, TensorId, std::uint64_t);

// Builder methods drawn by position, every kind of each shape of call.
inline constexpr Binary binary_methods[] = {
    &Graph::matmul,  &Graph::add,     &Graph::mul, &Graph::sub,          &Graph::div,
    &Graph::maximum, &Graph::minimum, &Graph::pow, &Graph::batch_matmul, &Graph::gather};
inline constexpr Unary unary_methods[] = {
    &Graph::gelu, &Graph::erf,        &Graph::tanh, &Graph::exp,  &Graph::log,    &Graph::sqrt,
    &Graph::neg,  &Graph::reciprocal, &Graph::abs,  &Graph::relu, &Graph::sigmoid};
inline constexpr AlongAxis axis_methods[] = {&Graph::softmax, &Graph::reduce_sum,
                                             &Graph::reduce_mean, &Graph::reduce_max};

template <class Draws, class Method, std::size_t size>
Method any_of(Draws& in, const Method (&methods)[size]) {
  return methods[in.template ConsumeIntegralInRange<std::size_t>(0, size - 1)];
}

/// One builder call over every kind; an operand that names nothing must throw
/// std::out_of_range and change nothing.
template <class Draws>
void build(Draws& in, Graph& graph) {
  std::vector<TensorId> operands{tensor_id(in, graph), tensor_id(in, graph)};
  const Graph before = graph;
  try {
    switch (in.template ConsumeIntegralInRange<int>(0, 11)) {
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
      (void)graph.layer_norm(name(in), operands[0], in.template ConsumeFloatingPoint<float>());
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
      operands.resize(in.template ConsumeIntegralInRange<std::size_t>(0, 4), TensorId{operands[0]});
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

template <class Draws>
OpKind any_kind(Draws& in) {
  constexpr std::size_t count = std::variant_size_v<OpKind::Variant>;
  return any_kind(in.template ConsumeIntegralInRange<std::size_t>(0, count - 1),
                  std::make_index_sequence<count>());
}

/// A direct edit of the records that bypasses the builder.
template <class Draws>
void edit(Draws& in, Graph& graph) {
  const auto any = in.template ConsumeIntegralInRange<std::uint64_t>(0, graph.tensors.size() + 1);
  switch (in.template ConsumeIntegralInRange<int>(0, 7)) {
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
              : std::optional<OpId>(OpId{
                    in.template ConsumeIntegralInRange<std::uint64_t>(0, graph.ops.size() + 1)});
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
      graph.ops[any].id =
          OpId{in.template ConsumeIntegralInRange<std::uint64_t>(0, graph.ops.size())};
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

/// Options for `graph`: one input in eight may have any tile count the budget affords, the
/// rest at most `usual_tile_count`; an address range that is mostly valid.
template <class Draws>
CompilerOptions options_for(Draws& in, const Graph& graph) {
  CompilerOptions options;
  const std::uint16_t affordable =
      affordable_tile_count(graph, std::numeric_limits<std::uint16_t>::max());
  const std::uint16_t most = in.template ConsumeIntegralInRange<int>(1, 8) == 1
                                 ? affordable
                                 : std::min(affordable, usual_tile_count);
  options.tile_count = in.template ConsumeIntegralInRange<std::uint16_t>(0, most);
  if (in.ConsumeBool()) {
    options.data_base = in.template ConsumeIntegral<std::uint32_t>();
    options.data_limit = in.ConsumeBool()
                             ? in.template ConsumeIntegral<std::uint32_t>()
                             : options.data_base + in.template ConsumeIntegral<std::uint16_t>();
  }
  return options;
}

/// What one input decodes to.
struct GraphInput {
  Graph graph;
  CompilerOptions options;
};

/// Up to 24 steps, each a new input or weight, a builder call or a direct edit, then the
/// options. A builder call that breaks its contract stops the fuzzer (see `build`).
template <class Draws>
GraphInput decode_graph_input(Draws& in) {
  GraphInput decoded;
  Graph& graph = decoded.graph;
  const int steps = in.template ConsumeIntegralInRange<int>(0, 24);
  for (int step = 0; step < steps; ++step) {
    const int kind = in.template ConsumeIntegralInRange<int>(0, 9);
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
  decoded.options = options_for(in, graph);
  return decoded;
}

} // namespace orvik_compiler::fuzzing
