// The graph model in Python: ids as small hashable values, the records with their fields, and
// `Graph` with its builder methods.

#include "bindings.hpp"

#include <functional>
#include <utility>

namespace orvik_python {
namespace {

namespace oc = orvik_compiler;
using namespace pybind11::literals;

template <class Id>
void bind_id(py::module_& module, const char* name, const char* doc) {
  py::class_<Id> binding(module, name, doc);
  binding
      .def(py::init([](std::uint64_t index) { return Id{index}; }), "index"_a,
           "The id of the record at this index of its graph.")
      .def_readonly("index", &Id::index, "The index into the graph's records.")
      .def(
          "__hash__", [](Id id) { return std::hash<std::uint64_t>{}(id.index); },
          "The index's hash, so that ids can be dictionary keys.");
  with_equality_and_repr(binding);
}

/// One of the operation kinds, nested in `OpKind`; its repr is the kind's debug text.
template <class Kind>
py::class_<Kind> bind_kind(py::class_<oc::OpKind>& scope, const char* name, const char* doc) {
  py::class_<Kind> binding(scope, name, doc);
  binding.def(py::self == py::self, "Equal kind and parameters.")
      .def(
          "__repr__", [](const Kind& kind) { return debug_text(oc::OpKind{kind}); },
          "The library's debug text of the kind.");
  return binding;
}

void bind_op_kinds(py::module_& module) {
  py::class_<oc::OpKind> scope(module, "OpKind",
                               "The kinds of operation, as classes nested here; `Op.kind` is an "
                               "instance of one of them.");
  bind_kind<oc::OpKind::MatMul>(scope, "MatMul", "Matrix product of two rank-2 tensors.");
  bind_kind<oc::OpKind::Add>(scope, "Add", "Element-wise sum.");
  bind_kind<oc::OpKind::Mul>(scope, "Mul", "Element-wise product.");
  bind_kind<oc::OpKind::Reshape>(scope, "Reshape", "The same elements under a new shape.")
      .def_readonly("shape", &oc::OpKind::Reshape::shape, "The output's shape.");
  bind_kind<oc::OpKind::Transpose>(scope, "Transpose", "Reordered axes.")
      .def_readonly("permutation", &oc::OpKind::Transpose::permutation,
                    "Output axis i is input axis permutation[i].");
  bind_kind<oc::OpKind::LayerNorm>(scope, "LayerNorm", "Layer normalisation over the last axis.")
      .def_readonly("epsilon", &oc::OpKind::LayerNorm::epsilon,
                    "Added to the variance before the square root.");
  bind_kind<oc::OpKind::Softmax>(scope, "Softmax", "Softmax along one axis.")
      .def_readonly("axis", &oc::OpKind::Softmax::axis, "The axis the softmax runs along.");
  bind_kind<oc::OpKind::Gelu>(scope, "Gelu", "Element-wise GELU activation.");
  bind_kind<oc::OpKind::BatchMatMul>(scope, "BatchMatMul",
                                     "Matrix products of the trailing two axes, batch by batch.");
  bind_kind<oc::OpKind::Sub>(scope, "Sub", "Element-wise difference.");
  bind_kind<oc::OpKind::Div>(scope, "Div", "Element-wise quotient.");
  bind_kind<oc::OpKind::Maximum>(scope, "Maximum", "Element-wise larger value.");
  bind_kind<oc::OpKind::Minimum>(scope, "Minimum", "Element-wise smaller value.");
  bind_kind<oc::OpKind::Pow>(scope, "Pow", "Element-wise power.");
  bind_kind<oc::OpKind::Erf>(scope, "Erf", "Element-wise error function.");
  bind_kind<oc::OpKind::Tanh>(scope, "Tanh", "Element-wise hyperbolic tangent.");
  bind_kind<oc::OpKind::Exp>(scope, "Exp", "Element-wise exponential.");
  bind_kind<oc::OpKind::Log>(scope, "Log", "Element-wise natural logarithm.");
  bind_kind<oc::OpKind::Sqrt>(scope, "Sqrt", "Element-wise square root.");
  bind_kind<oc::OpKind::Reciprocal>(scope, "Reciprocal", "Element-wise 1 / x.");
  bind_kind<oc::OpKind::Neg>(scope, "Neg", "Element-wise negation.");
  bind_kind<oc::OpKind::Abs>(scope, "Abs", "Element-wise absolute value.");
  bind_kind<oc::OpKind::Relu>(scope, "Relu", "Element-wise rectified linear unit.");
  bind_kind<oc::OpKind::Sigmoid>(scope, "Sigmoid", "Element-wise logistic sigmoid.");
  bind_kind<oc::OpKind::Broadcast>(scope, "Broadcast", "The operand repeated to a larger shape.")
      .def_readonly("shape", &oc::OpKind::Broadcast::shape, "The output's shape.");
  bind_kind<oc::OpKind::Slice>(scope, "Slice", "Every step-th element of a range of one axis.")
      .def_readonly("axis", &oc::OpKind::Slice::axis, "The axis sliced.")
      .def_readonly("start", &oc::OpKind::Slice::start, "The first index taken.")
      .def_readonly("stop", &oc::OpKind::Slice::stop, "The index the range ends before.")
      .def_readonly("step", &oc::OpKind::Slice::step, "The distance between indices taken.");
  bind_kind<oc::OpKind::Concat>(scope, "Concat", "The operands joined along one axis.")
      .def_readonly("axis", &oc::OpKind::Concat::axis, "The axis the operands are joined along.");
  bind_kind<oc::OpKind::Gather>(scope, "Gather",
                                "Rows of the first operand picked by the second's indices.");
  bind_kind<oc::OpKind::ReduceSum>(scope, "ReduceSum", "Sum along one axis, kept with extent 1.")
      .def_readonly("axis", &oc::OpKind::ReduceSum::axis, "The axis reduced.");
  bind_kind<oc::OpKind::ReduceMean>(scope, "ReduceMean", "Mean along one axis, kept with extent 1.")
      .def_readonly("axis", &oc::OpKind::ReduceMean::axis, "The axis reduced.");
  bind_kind<oc::OpKind::ReduceMax>(scope, "ReduceMax",
                                   "Maximum along one axis, kept with extent 1.")
      .def_readonly("axis", &oc::OpKind::ReduceMax::axis, "The axis reduced.");
  bind_kind<oc::OpKind::Cast>(scope, "Cast", "The operand's values converted to another type.")
      .def_property_readonly(
          "dtype", [](const oc::OpKind::Cast& cast) { return cast.dtype.value; },
          "The output's element type.");
}

void bind_records(py::module_& module) {
  py::enum_<oc::DType::Value>(module, "DType", "The element type of a tensor.")
      .value("F32", oc::DType::F32, "32-bit IEEE floating point.")
      .value("I32", oc::DType::I32, "32-bit two's-complement integer.");
  py::enum_<oc::TensorKind>(module, "TensorKind", "How a tensor enters the graph.")
      .value("Input", oc::TensorKind::Input, "Given at run time.")
      .value("Weight", oc::TensorKind::Weight, "A constant of the model.")
      .value("Intermediate", oc::TensorKind::Intermediate, "Computed and read inside the graph.")
      .value("Output", oc::TensorKind::Output, "A result of the graph.");

  py::class_<oc::Tensor> tensor(module, "Tensor", "A tensor of a graph; read-only.");
  tensor.def_readonly("id", &oc::Tensor::id, "This tensor's id.")
      .def_readonly("name", &oc::Tensor::name, "The name given to the builder.")
      .def_property_readonly(
          "dtype", [](const oc::Tensor& record) { return record.dtype.value; }, "The element type.")
      .def_readonly("shape", &oc::Tensor::shape, "The extent of every axis.")
      .def_readonly("kind", &oc::Tensor::kind, "How the tensor enters the graph.")
      .def_readonly("producer", &oc::Tensor::producer,
                    "The operation that computes the tensor, or None.")
      .def("elements", &oc::Tensor::elements,
           "The product of the shape: 1 for an empty shape. OverflowError past 64 bits.");
  with_equality_and_repr(tensor);

  py::class_<oc::Op> op(module, "Op", "An operation of a graph; read-only.");
  op.def_readonly("id", &oc::Op::id, "This operation's id.")
      .def_readonly("name", &oc::Op::name, "The name given to the builder.")
      .def_property_readonly(
          "kind", [](const oc::Op& record) { return record.kind.value; },
          "What the operation computes: an instance of one of the classes in `OpKind`.")
      .def_readonly("inputs", &oc::Op::inputs, "The operands, in order.")
      .def_readonly("output", &oc::Op::output, "The tensor the operation computes.");
  with_equality_and_repr(op);
}

/// A builder method of `Graph` whose parameters pybind11 converts as they are, as a function that
/// returns the new id or raises CompileError.
template <auto method>
struct Unwrapped;

template <class... Parameters,
          oc::Result<oc::TensorId> (oc::Graph::*method)(std::string, Parameters...)>
struct Unwrapped<method> {
  static oc::TensorId call(oc::Graph& self, std::string name, Parameters... parameters) {
    return (self.*method)(std::move(name), std::move(parameters)...).value();
  }
};

// The builder methods of the kinds beyond the first eight; their keywords are the C++ parameter
// names.
void bind_more_builders(py::class_<oc::Graph>& graph) {
  graph
      .def("batch_matmul", &Unwrapped<&oc::Graph::batch_matmul>::call, "name"_a, "left"_a,
           "right"_a,
           "Matrix products over leading batch axes, [b..., m, k] x [b..., k, n] -> [b..., m, "
           "n], or a rank-2 right [k, n] shared by every batch; left has rank 3 or more. "
           "CompileError \"{name}: incompatible batch matmul {a} x {b}\" otherwise.")
      .def("sub", &Unwrapped<&oc::Graph::sub>::call, "name"_a, "left"_a, "right"_a,
           "Element-wise left - right of two F32 tensors of equal shape; CompileError "
           "\"{name}: binary shapes differ\" otherwise.")
      .def("div", &Unwrapped<&oc::Graph::div>::call, "name"_a, "left"_a, "right"_a,
           "Element-wise left / right of two F32 tensors of equal shape; CompileError "
           "\"{name}: binary shapes differ\" otherwise.")
      .def("maximum", &Unwrapped<&oc::Graph::maximum>::call, "name"_a, "left"_a, "right"_a,
           "Element-wise the larger value (NaN when either is NaN, +0 above -0) of two F32 tensors "
           "of equal shape; CompileError "
           "\"{name}: binary shapes differ\" otherwise.")
      .def("minimum", &Unwrapped<&oc::Graph::minimum>::call, "name"_a, "left"_a, "right"_a,
           "Element-wise the smaller value (NaN when either is NaN, -0 below +0) of two F32 "
           "tensors of equal shape; CompileError "
           "\"{name}: binary shapes differ\" otherwise.")
      .def("pow", &Unwrapped<&oc::Graph::pow>::call, "name"_a, "left"_a, "right"_a,
           "Element-wise powf(left, right) of two F32 tensors of equal shape; CompileError "
           "\"{name}: binary shapes differ\" otherwise.")
      .def("erf", &Unwrapped<&oc::Graph::erf>::call, "name"_a, "input"_a,
           "Element-wise erff(x) of an F32 tensor, keeping its shape.")
      .def("tanh", &Unwrapped<&oc::Graph::tanh>::call, "name"_a, "input"_a,
           "Element-wise tanhf(x) of an F32 tensor, keeping its shape.")
      .def("exp", &Unwrapped<&oc::Graph::exp>::call, "name"_a, "input"_a,
           "Element-wise expf(x) of an F32 tensor, keeping its shape.")
      .def("log", &Unwrapped<&oc::Graph::log>::call, "name"_a, "input"_a,
           "Element-wise logf(x) of an F32 tensor, keeping its shape.")
      .def("sqrt", &Unwrapped<&oc::Graph::sqrt>::call, "name"_a, "input"_a,
           "Element-wise the correctly rounded square root of an F32 tensor, keeping its shape.")
      .def("reciprocal", &Unwrapped<&oc::Graph::reciprocal>::call, "name"_a, "input"_a,
           "Element-wise 1.0f / x of an F32 tensor, keeping its shape.")
      .def("neg", &Unwrapped<&oc::Graph::neg>::call, "name"_a, "input"_a,
           "Element-wise -x of an F32 tensor, keeping its shape.")
      .def("abs", &Unwrapped<&oc::Graph::abs>::call, "name"_a, "input"_a,
           "Element-wise fabsf(x) of an F32 tensor, keeping its shape.")
      .def("relu", &Unwrapped<&oc::Graph::relu>::call, "name"_a, "input"_a,
           "Element-wise x < 0 ? +0.0f : x of an F32 tensor, keeping its shape.")
      .def("sigmoid", &Unwrapped<&oc::Graph::sigmoid>::call, "name"_a, "input"_a,
           "Element-wise 1.0f / (1.0f + expf(-x)) of an F32 tensor, keeping its shape.")
      .def("broadcast", &Unwrapped<&oc::Graph::broadcast>::call, "name"_a, "input"_a, "shape"_a,
           "The input repeated to `shape`: shapes aligned at the right, each input extent equal "
           "to the target's or 1, the target's rank at least the input's; CompileError "
           "\"{name}: cannot broadcast {a} to {b}\" otherwise.")
      .def("slice", &Unwrapped<&oc::Graph::slice>::call, "name"_a, "input"_a, "axis"_a, "start"_a,
           "stop"_a, "step"_a = 1,
           "Elements start, start + step, ... below stop along the axis; CompileError "
           "\"{name}: invalid slice\" unless the axis is below the rank, step is at least 1 "
           "and start < stop <= the extent.")
      .def("concat", &Unwrapped<&oc::Graph::concat>::call, "name"_a, "inputs"_a, "axis"_a,
           "The inputs joined along the axis, in order; CompileError "
           "\"{name}: incompatible concat\" unless there is at least one, all of one rank and "
           "type, with equal extents except along the axis.")
      .def("gather", &Unwrapped<&oc::Graph::gather>::call, "name"_a, "table"_a, "indices"_a,
           "Rows of table [v, d...] picked by the I32 indices of any shape, giving "
           "indices.shape + [d...]; CompileError \"{name}: invalid gather\" for a table of rank "
           "0.")
      .def("reduce_sum", &Unwrapped<&oc::Graph::reduce_sum>::call, "name"_a, "input"_a, "axis"_a,
           "Sum along the axis, which stays with extent 1; CompileError "
           "\"{name}: reduce axis out of range\" unless the axis is below the rank.")
      .def("reduce_mean", &Unwrapped<&oc::Graph::reduce_mean>::call, "name"_a, "input"_a, "axis"_a,
           "Mean along the axis, which stays with extent 1; CompileError "
           "\"{name}: reduce axis out of range\" unless the axis is below the rank.")
      .def("reduce_max", &Unwrapped<&oc::Graph::reduce_max>::call, "name"_a, "input"_a, "axis"_a,
           "Maximum along the axis, which stays with extent 1; CompileError "
           "\"{name}: reduce axis out of range\" unless the axis is below the rank.")
      .def(
          "cast",
          [](oc::Graph& self, std::string name, oc::TensorId input, oc::DType::Value dtype) {
            return self.cast(std::move(name), input, dtype).value();
          },
          "name"_a, "input"_a, "dtype"_a,
          "The input's values converted to the element type: I32 to F32 rounds to nearest, F32 "
          "to I32 truncates toward zero.");
}

// The builder methods return the new tensor's id, or raise CompileError with the builder's
// message; an operand id outside the graph raises IndexError.
void bind_builder(py::class_<oc::Graph>& graph) {
  graph
      .def(
          "input",
          [](oc::Graph& self, std::string name, std::vector<std::uint64_t> shape,
             oc::DType::Value dtype) {
            return self.input(std::move(name), std::move(shape), dtype);
          },
          "name"_a, "shape"_a, "dtype"_a = oc::DType::F32,
          "Appends an input tensor of the element type and returns its id. The shape is checked "
          "by `validate`.")
      .def(
          "weight",
          [](oc::Graph& self, std::string name, std::vector<std::uint64_t> shape,
             oc::DType::Value dtype) {
            return self.weight(std::move(name), std::move(shape), dtype);
          },
          "name"_a, "shape"_a, "dtype"_a = oc::DType::F32,
          "Appends a weight tensor of the element type and returns its id. The shape is checked "
          "by `validate`.")
      .def(
          "matmul",
          [](oc::Graph& self, std::string name, oc::TensorId left, oc::TensorId right) {
            return self.matmul(std::move(name), left, right).value();
          },
          "name"_a, "left"_a, "right"_a,
          "Matrix product [m, k] x [k, n] -> [m, n]; CompileError "
          "\"{name}: incompatible matmul {a} x {b}\" otherwise.")
      .def(
          "add",
          [](oc::Graph& self, std::string name, oc::TensorId left, oc::TensorId right) {
            return self.add(std::move(name), left, right).value();
          },
          "name"_a, "left"_a, "right"_a,
          "Element-wise sum of two tensors of equal shape; CompileError "
          "\"{name}: binary shapes differ\" otherwise.")
      .def(
          "mul",
          [](oc::Graph& self, std::string name, oc::TensorId left, oc::TensorId right) {
            return self.mul(std::move(name), left, right).value();
          },
          "name"_a, "left"_a, "right"_a,
          "Element-wise product of two tensors of equal shape; CompileError "
          "\"{name}: binary shapes differ\" otherwise.")
      .def(
          "transpose",
          [](oc::Graph& self, std::string name, oc::TensorId input,
             std::vector<std::uint64_t> permutation) {
            return self.transpose(std::move(name), input, std::move(permutation)).value();
          },
          "name"_a, "x"_a, "permutation"_a,
          "Output axis i is input axis permutation[i]; CompileError "
          "\"{name}: invalid transpose permutation\" unless every axis is named once.")
      .def(
          "reshape",
          [](oc::Graph& self, std::string name, oc::TensorId input,
             std::vector<std::uint64_t> shape) {
            return self.reshape(std::move(name), input, std::move(shape)).value();
          },
          "name"_a, "x"_a, "shape"_a,
          "The same elements under a new shape; CompileError "
          "\"{name}: reshape changes element count\" otherwise.")
      .def(
          "layer_norm",
          [](oc::Graph& self, std::string name, oc::TensorId input, float epsilon) {
            return self.layer_norm(std::move(name), input, epsilon).value();
          },
          "name"_a, "x"_a, "epsilon"_a,
          "Layer normalisation over the last axis; epsilon is stored as a 32-bit float.")
      .def(
          "softmax",
          [](oc::Graph& self, std::string name, oc::TensorId input, std::uint64_t axis) {
            return self.softmax(std::move(name), input, axis).value();
          },
          "name"_a, "x"_a, "axis"_a,
          "Softmax along an axis; CompileError \"{name}: softmax axis out of range\" unless "
          "the axis is below the rank.")
      .def(
          "gelu",
          [](oc::Graph& self, std::string name, oc::TensorId input) {
            return self.gelu(std::move(name), input).value();
          },
          "name"_a, "x"_a, "Element-wise GELU activation.")
      .def("mark_output", &oc::Graph::mark_output, "t"_a,
           "Marks a tensor as a result: its kind becomes Output and its id is appended to "
           "`outputs`, again if it was marked before.")
      .def(
          "validate", [](const oc::Graph& self) { self.validate().value(); },
          "Checks the graph as a whole; raises CompileError with the first failure: "
          "\"invalid tensor {name}\", \"invalid op {name}\" or \"graph has no outputs\".");
}

} // namespace

void bind_graph(py::module_& module) {
  bind_id<oc::TensorId>(module, "TensorId",
                        "The index of a tensor in `Graph.tensors`: a small hashable value, "
                        "meaningful only with the graph that issued it.");
  bind_id<oc::OpId>(module, "OpId",
                    "The index of an operation in `Graph.ops`: a small hashable value, "
                    "meaningful only with the graph that issued it.");
  bind_op_kinds(module);
  bind_records(module);

  py::class_<oc::Graph> graph(module, "Graph",
                              "A graph of tensors, float32 or int32, and the operations between "
                              "them. The "
                              "builder methods append records and never remove or reorder "
                              "them; a failed builder call leaves the graph unchanged.");
  graph
      .def(py::init<>(), "An empty graph.")
      // Copies: the graph can still grow, and records handed out must not dangle.
      .def_property_readonly(
          "tensors", [](const oc::Graph& self) { return self.tensors; },
          "The tensors in id order, as read-only records (a copy).")
      .def_property_readonly(
          "ops", [](const oc::Graph& self) { return self.ops; },
          "The operations in id order, as read-only records (a copy).")
      .def_property_readonly(
          "outputs", [](const oc::Graph& self) { return self.outputs; },
          "The ids of the results, in the order they were marked (a copy).");
  bind_builder(graph);
  bind_more_builders(graph);
  with_equality_and_repr(graph);
}

} // namespace orvik_python
