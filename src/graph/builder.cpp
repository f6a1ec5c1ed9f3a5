// The builder: appending tensors and operations with their shape rules.

#include "orvik_compiler/graph.hpp"

#include "../debug_text/record.hpp"

#include <algorithm>
#include <sstream>
#include <stdexcept>
#include <unordered_set>

namespace orvik_compiler {
namespace {

/// The operand's tensor; an id outside the graph is a caller error, reported before anything
/// else is read.
const Tensor& operand(const Graph& graph, TensorId id) {
  if (id.index >= graph.tensors.size()) {
    std::ostringstream message;
    message << "unknown tensor " << id << " in a graph of " << graph.tensors.size() << " tensors";
    throw std::out_of_range(message.str());
  }
  return graph.tensors[id.index];
}

/// Makes room for one more element with the usual geometric growth, so that a push_back after it
/// cannot throw and cannot leave a half-made change behind.
template <class T>
void reserve_one_more(std::vector<T>& records) {
  if (records.size() == records.capacity()) {
    records.reserve(std::max<std::size_t>(8, 2 * records.size()));
  }
}

} // namespace

TensorId Graph::tensor(std::string name, std::vector<std::uint64_t> shape, TensorKind kind,
                       std::optional<OpId> producer) {
  const TensorId id{tensors.size()};
  tensors.push_back(Tensor{id, std::move(name), DType::F32, std::move(shape), kind, producer});
  return id;
}

TensorId Graph::input(std::string name, std::vector<std::uint64_t> shape) {
  return tensor(std::move(name), std::move(shape), TensorKind::Input, std::nullopt);
}

TensorId Graph::weight(std::string name, std::vector<std::uint64_t> shape) {
  return tensor(std::move(name), std::move(shape), TensorKind::Weight, std::nullopt);
}

Result<TensorId> Graph::op(std::string name, OpKind kind, std::vector<TensorId> inputs,
                           std::vector<std::uint64_t> shape) {
  for (const TensorId input : inputs) {
    if (input.index >= tensors.size()) {
      return CompileError::graph(name + ": unknown input");
    }
  }
  const OpId id{ops.size()};
  // Room first, so that the two appends below cannot leave a tensor without its op.
  reserve_one_more(ops);
  const TensorId output = tensor(name, std::move(shape), TensorKind::Intermediate, id);
  ops.push_back(Op{id, std::move(name), std::move(kind), std::move(inputs), output});
  return output;
}

Result<TensorId> Graph::binary(std::string name, OpKind kind, TensorId left, TensorId right) {
  std::vector<std::uint64_t> shape = operand(*this, left).shape;
  if (shape != operand(*this, right).shape) {
    return CompileError::graph(name + ": binary shapes differ");
  }
  return op(std::move(name), std::move(kind), {left, right}, std::move(shape));
}

Result<TensorId> Graph::add(std::string name, TensorId left, TensorId right) {
  return binary(std::move(name), OpKind::Add{}, left, right);
}

Result<TensorId> Graph::mul(std::string name, TensorId left, TensorId right) {
  return binary(std::move(name), OpKind::Mul{}, left, right);
}

Result<TensorId> Graph::matmul(std::string name, TensorId left, TensorId right) {
  const std::vector<std::uint64_t>& a = operand(*this, left).shape;
  const std::vector<std::uint64_t>& b = operand(*this, right).shape;
  if (a.size() != 2 || b.size() != 2 || a[1] != b[0]) {
    return CompileError::graph(name + ": incompatible matmul " + shape_text(a) + " x " +
                               shape_text(b));
  }
  std::vector<std::uint64_t> shape{a[0], b[1]};
  return op(std::move(name), OpKind::MatMul{}, {left, right}, std::move(shape));
}

Result<TensorId> Graph::transpose(std::string name, TensorId input,
                                  std::vector<std::uint64_t> permutation) {
  const std::vector<std::uint64_t>& source = operand(*this, input).shape;
  const std::size_t rank = source.size();
  const std::unordered_set<std::uint64_t> distinct(permutation.begin(), permutation.end());
  bool in_range = true;
  for (const std::uint64_t axis : permutation) {
    in_range = in_range && axis < rank;
  }
  if (permutation.size() != rank || distinct.size() != rank || !in_range) {
    return CompileError::graph(name + ": invalid transpose permutation");
  }
  std::vector<std::uint64_t> shape;
  shape.reserve(rank);
  for (const std::uint64_t axis : permutation) {
    shape.push_back(source[axis]);
  }
  return op(std::move(name), OpKind::Transpose{std::move(permutation)}, {input}, std::move(shape));
}

Result<TensorId> Graph::layer_norm(std::string name, TensorId input, float epsilon) {
  std::vector<std::uint64_t> shape = operand(*this, input).shape;
  return op(std::move(name), OpKind::LayerNorm{epsilon}, {input}, std::move(shape));
}

Result<TensorId> Graph::softmax(std::string name, TensorId input, std::uint64_t axis) {
  std::vector<std::uint64_t> shape = operand(*this, input).shape;
  if (axis >= shape.size()) {
    return CompileError::graph(name + ": softmax axis out of range");
  }
  return op(std::move(name), OpKind::Softmax{axis}, {input}, std::move(shape));
}

Result<TensorId> Graph::gelu(std::string name, TensorId input) {
  std::vector<std::uint64_t> shape = operand(*this, input).shape;
  return op(std::move(name), OpKind::Gelu{}, {input}, std::move(shape));
}

Result<TensorId> Graph::reshape(std::string name, TensorId input,
                                std::vector<std::uint64_t> shape) {
  const Tensor& source = operand(*this, input);
  const Tensor target{TensorId{}, {}, DType::F32, shape, TensorKind::Intermediate, std::nullopt};
  if (source.elements() != target.elements()) {
    return CompileError::graph(name + ": reshape changes element count");
  }
  OpKind kind = OpKind::Reshape{shape};
  return op(std::move(name), std::move(kind), {input}, std::move(shape));
}

void Graph::mark_output(TensorId id) {
  operand(*this, id); // an id outside the graph throws before anything changes
  reserve_one_more(outputs);
  tensors[id.index].kind = TensorKind::Output;
  outputs.push_back(id);
}

} // namespace orvik_compiler
