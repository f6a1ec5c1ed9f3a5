#pragma once

// Ops appended to a graph's records directly, past the builder and its rules, for tests of what
// the compiler and the interpreter do with graphs that the builder could not have made.

#include <orvik_compiler/orvik_compiler.hpp>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace orvik_compiler::testing {

/// Appends an op of `kind` over `inputs` and its output tensor of shape `shape` the way the
/// builder does (the tensor first, of kind `Intermediate` with the op as its producer, then the
/// op) but checks nothing: any operand count, any shapes, and inputs that name no tensor.
inline TensorId append_unchecked_op(Graph& graph, std::string name, OpKind kind,
                                    std::vector<TensorId> inputs,
                                    std::vector<std::uint64_t> shape) {
  const OpId op{graph.ops.size()};
  const TensorId output{graph.tensors.size()};
  graph.tensors.push_back(
      Tensor{output, name, DType::F32, std::move(shape), TensorKind::Intermediate, op});
  graph.ops.push_back(Op{op, std::move(name), std::move(kind), std::move(inputs), output});
  return output;
}

} // namespace orvik_compiler::testing
