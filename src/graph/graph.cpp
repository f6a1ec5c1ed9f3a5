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
  case DType::I32:
    return out << "I32";
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
    void operator()(const OpKind::BatchMatMul&) const { out << "BatchMatMul"; }
    void operator()(const OpKind::Sub&) const { out << "Sub"; }
    void operator()(const OpKind::Div&) const { out << "Div"; }
    void operator()(const OpKind::Maximum&) const { out << "Maximum"; }
    void operator()(const OpKind::Minimum&) const { out << "Minimum"; }
    void operator()(const OpKind::Pow&) const { out << "Pow"; }
    void operator()(const OpKind::Erf&) const { out << "Erf"; }
    void operator()(const OpKind::Tanh&) const { out << "Tanh"; }
    void operator()(const OpKind::Exp&) const { out << "Exp"; }
    void operator()(const OpKind::Log&) const { out << "Log"; }
    void operator()(const OpKind::Sqrt&) const { out << "Sqrt"; }
    void operator()(const OpKind::Reciprocal&) const { out << "Reciprocal"; }
    void operator()(const OpKind::Neg&) const { out << "Neg"; }
    void operator()(const OpKind::Abs&) const { out << "Abs"; }
    void operator()(const OpKind::Relu&) const { out << "Relu"; }
    void operator()(const OpKind::Sigmoid&) const { out << "Sigmoid"; }
    void operator()(const OpKind::Broadcast& broadcast) const {
      debug_text::Record(out, "Broadcast").list("shape", broadcast.shape);
    }
    void operator()(const OpKind::Slice& slice) const {
      debug_text::Record(out, "Slice")
          .field("axis", slice.axis)
          .field("start", slice.start)
          .field("stop", slice.stop)
          .field("step", slice.step);
    }
    void operator()(const OpKind::Concat& concat) const {
      debug_text::Record(out, "Concat").field("axis", concat.axis);
    }
    void operator()(const OpKind::Gather&) const { out << "Gather"; }
    void operator()(const OpKind::ReduceSum& reduce) const {
      debug_text::Record(out, "ReduceSum").field("axis", reduce.axis);
    }
    void operator()(const OpKind::ReduceMean& reduce) const {
      debug_text::Record(out, "ReduceMean").field("axis", reduce.axis);
    }
    void operator()(const OpKind::ReduceMax& reduce) const {
      debug_text::Record(out, "ReduceMax").field("axis", reduce.axis);
    }
    void operator()(const OpKind::Cast& cast) const {
      debug_text::Record(out, "Cast").field("dtype", cast.dtype);
    }
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
