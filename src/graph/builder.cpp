// The builder: appending tensors and operations, each op once its kind's rule accepts it.

#include "orvik_compiler/graph.hpp"

#include "../result_try.hpp"
#include "op_rules.hpp"

#include <algorithm>
#include <sstream>
#include <stdexcept>

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

/// Appends a tensor record; nothing is checked.
TensorId append_tensor(Graph& graph, std::string name, TensorType type, TensorKind kind,
                       std::optional<OpId> producer) {
  const TensorId id{graph.tensors.size()};
  graph.tensors.push_back(
      Tensor{id, std::move(name), type.dtype, std::move(type.shape), kind, producer});
  return id;
}

/// Appends an op of `kind` over `inputs` and its output tensor, the tensor first so that its id
/// exceeds every input's, after the kind's rule has accepted the operands and given the output
/// type. Every operand is looked up before the rule runs.
Result<TensorId> append_op(Graph& graph, std::string name, OpKind kind,
                           std::vector<TensorId> inputs) {
  std::vector<TensorType> operands;
  operands.reserve(inputs.size());
  for (const TensorId input : inputs) {
    const Tensor& tensor = operand(graph, input);
    operands.push_back(TensorType{tensor.shape, tensor.dtype});
  }
  ORVIK_TRY(type, output_type(name, kind, operands));
  const OpId id{graph.ops.size()};
  // Room first, so that the two appends below cannot leave a tensor without its op.
  reserve_one_more(graph.ops);
  const TensorId output = append_tensor(graph, name, std::move(type), TensorKind::Intermediate, id);
  graph.ops.push_back(Op{id, std::move(name), std::move(kind), std::move(inputs), output});
  return output;
}

} // namespace

TensorId Graph::input(std::string name, std::vector<std::uint64_t> shape, DType dtype) {
  return append_tensor(*this, std::move(name), TensorType{std::move(shape), dtype},
                       TensorKind::Input, std::nullopt);
}

TensorId Graph::weight(std::string name, std::vector<std::uint64_t> shape, DType dtype) {
  return append_tensor(*this, std::move(name), TensorType{std::move(shape), dtype},
                       TensorKind::Weight, std::nullopt);
}

Result<TensorId> Graph::matmul(std::string name, TensorId left, TensorId right) {
  return append_op(*this, std::move(name), OpKind::MatMul{}, {left, right});
}

Result<TensorId> Graph::add(std::string name, TensorId left, TensorId right) {
  return append_op(*this, std::move(name), OpKind::Add{}, {left, right});
}

Result<TensorId> Graph::mul(std::string name, TensorId left, TensorId right) {
  return append_op(*this, std::move(name), OpKind::Mul{}, {left, right});
}

Result<TensorId> Graph::transpose(std::string name, TensorId input,
                                  std::vector<std::uint64_t> permutation) {
  return append_op(*this, std::move(name), OpKind::Transpose{std::move(permutation)}, {input});
}

Result<TensorId> Graph::layer_norm(std::string name, TensorId input, float epsilon) {
  return append_op(*this, std::move(name), OpKind::LayerNorm{epsilon}, {input});
}

Result<TensorId> Graph::softmax(std::string name, TensorId input, std::uint64_t axis) {
  return append_op(*this, std::move(name), OpKind::Softmax{axis}, {input});
}

Result<TensorId> Graph::gelu(std::string name, TensorId input) {
  return append_op(*this, std::move(name), OpKind::Gelu{}, {input});
}

Result<TensorId> Graph::reshape(std::string name, TensorId input,
                                std::vector<std::uint64_t> shape) {
  return append_op(*this, std::move(name), OpKind::Reshape{std::move(shape)}, {input});
}

Result<TensorId> Graph::batch_matmul(std::string name, TensorId left, TensorId right) {
  return append_op(*this, std::move(name), OpKind::BatchMatMul{}, {left, right});
}

Result<TensorId> Graph::sub(std::string name, TensorId left, TensorId right) {
  return append_op(*this, std::move(name), OpKind::Sub{}, {left, right});
}

Result<TensorId> Graph::div(std::string name, TensorId left, TensorId right) {
  return append_op(*this, std::move(name), OpKind::Div{}, {left, right});
}

Result<TensorId> Graph::maximum(std::string name, TensorId left, TensorId right) {
  return append_op(*this, std::move(name), OpKind::Maximum{}, {left, right});
}

Result<TensorId> Graph::minimum(std::string name, TensorId left, TensorId right) {
  return append_op(*this, std::move(name), OpKind::Minimum{}, {left, right});
}

Result<TensorId> Graph::pow(std::string name, TensorId left, TensorId right) {
  return append_op(*this, std::move(name), OpKind::Pow{}, {left, right});
}

Result<TensorId> Graph::erf(std::string name, TensorId input) {
  return append_op(*this, std::move(name), OpKind::Erf{}, {input});
}

Result<TensorId> Graph::tanh(std::string name, TensorId input) {
  return append_op(*this, std::move(name), OpKind::Tanh{}, {input});
}

Result<TensorId> Graph::exp(std::string name, TensorId input) {
  return append_op(*this, std::move(name), OpKind::Exp{}, {input});
}

Result<TensorId> Graph::log(std::string name, TensorId input) {
  return append_op(*this, std::move(name), OpKind::Log{}, {input});
}

Result<TensorId> Graph::sqrt(std::string name, TensorId input) {
  return append_op(*this, std::move(name), OpKind::Sqrt{}, {input});
}

Result<TensorId> Graph::reciprocal(std::string name, TensorId input) {
  return append_op(*this, std::move(name), OpKind::Reciprocal{}, {input});
}

Result<TensorId> Graph::neg(std::string name, TensorId input) {
  return append_op(*this, std::move(name), OpKind::Neg{}, {input});
}

Result<TensorId> Graph::abs(std::string name, TensorId input) {
  return append_op(*this, std::move(name), OpKind::Abs{}, {input});
}

Result<TensorId> Graph::relu(std::string name, TensorId input) {
  return append_op(*this, std::move(name), OpKind::Relu{}, {input});
}

Result<TensorId> Graph::sigmoid(std::string name, TensorId input) {
  return append_op(*this, std::move(name), OpKind::Sigmoid{}, {input});
}

Result<TensorId> Graph::broadcast(std::string name, TensorId input,
                                  std::vector<std::uint64_t> shape) {
  return append_op(*this, std::move(name), OpKind::Broadcast{std::move(shape)}, {input});
}

Result<TensorId> Graph::slice(std::string name, TensorId input, std::uint64_t axis,
                              std::uint64_t start, std::uint64_t stop, std::uint64_t step) {
  return append_op(*this, std::move(name), OpKind::Slice{axis, start, stop, step}, {input});
}

Result<TensorId> Graph::concat(std::string name, std::vector<TensorId> inputs, std::uint64_t axis) {
  return append_op(*this, std::move(name), OpKind::Concat{axis}, std::move(inputs));
}

Result<TensorId> Graph::gather(std::string name, TensorId table, TensorId indices) {
  return append_op(*this, std::move(name), OpKind::Gather{}, {table, indices});
}

Result<TensorId> Graph::reduce_sum(std::string name, TensorId input, std::uint64_t axis) {
  return append_op(*this, std::move(name), OpKind::ReduceSum{axis}, {input});
}

Result<TensorId> Graph::reduce_mean(std::string name, TensorId input, std::uint64_t axis) {
  return append_op(*this, std::move(name), OpKind::ReduceMean{axis}, {input});
}

Result<TensorId> Graph::reduce_max(std::string name, TensorId input, std::uint64_t axis) {
  return append_op(*this, std::move(name), OpKind::ReduceMax{axis}, {input});
}

Result<TensorId> Graph::cast(std::string name, TensorId input, DType dtype) {
  return append_op(*this, std::move(name), OpKind::Cast{dtype}, {input});
}

void Graph::mark_output(TensorId id) {
  operand(*this, id); // an id outside the graph throws before anything changes
  reserve_one_more(outputs);
  tensors[id.index].kind = TensorKind::Output;
  outputs.push_back(id);
}

} // namespace orvik_compiler
