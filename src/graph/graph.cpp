// The graph records: element counts and the debug text of every record.

#include "orvik_compiler/graph.hpp"

#include "../debug_text/record.hpp"
#include "op_rules.hpp"

#include <ostream>

namespace orvik_compiler {

std::uint64_t Tensor::elements() const {
  return element_count(shape);
}

std::ostream& operator<<(std::ostream& out, TensorId id) {
  return out << "TensorId(" << id.index << ')';
}

std::ostream& operator<<(std::ostream& out, OpId id) {
  return out << "OpId(" << id.index << ')';
}

std::ostream& operator<<(std::ostream& out, DType dtype) {
  switch (dtype.value) {
  case DType::F32:
    return out << "F32";
  }
  return out;
}

std::ostream& operator<<(std::ostream& out, TensorKind kind) {
  switch (kind) {
  case TensorKind::Input:
    return out << "Input";
  case TensorKind::Weight:
    return out << "Weight";
  case TensorKind::Intermediate:
    return out << "Intermediate";
  case TensorKind::Output:
    return out << "Output";
  }
  return out;
}

std::ostream& operator<<(std::ostream& out, const Tensor& tensor) {
  debug_text::Record record(out, "Tensor");
  record.field("id", tensor.id)
      .field("name", debug_text::Quoted{tensor.name})
      .field("dtype", tensor.dtype)
      .list("shape", tensor.shape)
      .field("kind", tensor.kind);
  std::ostream& producer = record.begin("producer");
  if (tensor.producer) {
    producer << "Some(" << *tensor.producer << ')';
  } else {
    producer << "None";
  }
  return out;
}

std::ostream& operator<<(std::ostream& out, const OpKind& kind) {
  struct Writer {
    std::ostream& out;
    void operator()(const OpKind::MatMul&) const { out << "MatMul"; }
    void operator()(const OpKind::Add&) const { out << "Add"; }
    void operator()(const OpKind::Mul&) const { out << "Mul"; }
    void operator()(const OpKind::Reshape& reshape) const {
      debug_text::Record(out, "Reshape").list("shape", reshape.shape);
    }
    void operator()(const OpKind::Transpose& transpose) const {
      debug_text::Record(out, "Transpose").list("permutation", transpose.permutation);
    }
    void operator()(const OpKind::LayerNorm& layer_norm) const {
      debug_text::Record(out, "LayerNorm").field("epsilon", layer_norm.epsilon);
    }
    void operator()(const OpKind::Softmax& softmax) const {
      debug_text::Record(out, "Softmax").field("axis", softmax.axis);
    }
    void operator()(const OpKind::Gelu&) const { out << "Gelu"; }
  };
  std::visit(Writer{out}, kind.value);
  return out;
}

std::ostream& operator<<(std::ostream& out, const Op& op) {
  debug_text::Record(out, "Op")
      .field("id", op.id)
      .field("name", debug_text::Quoted{op.name})
      .field("kind", op.kind)
      .list("inputs", op.inputs)
      .field("output", op.output);
  return out;
}

std::ostream& operator<<(std::ostream& out, const Graph& graph) {
  debug_text::Record(out, "Graph")
      .list("tensors", graph.tensors)
      .list("ops", graph.ops)
      .list("outputs", graph.outputs);
  return out;
}

} // namespace orvik_compiler
