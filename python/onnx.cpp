// The ONNX importer in Python: a model's graph, its weights as NumPy arrays and its input and
// output names; and the tensors of ONNX's own test cases.

#include "bindings.hpp"

#include <orvik_compiler/onnx.hpp>

#include <pybind11/stl/filesystem.h>

#include <filesystem>
#include <map>
#include <utility>

namespace orvik_python {
namespace {

namespace oc = orvik_compiler;
using namespace pybind11::literals;

/// An imported model, its weights as arrays of their tensors' shapes.
struct OnnxModelArrays {
  oc::Graph graph;
  /// From weight tensor id to its values.
  py::dict weights;
  std::vector<std::string> input_names;
  std::vector<std::string> output_names;
};

/// A tensor of a `TensorProto` file, its values as an array of its shape: float32 for FLOAT
/// data, int32 for INT32 and INT64 data.
struct OnnxTensorArray {
  std::string name;
  py::array values;
};

OnnxModelArrays import_model(const std::filesystem::path& file,
                             std::map<std::string, std::uint64_t> dims) {
  oc::OnnxImportOptions options;
  options.dimensions.insert(dims.begin(), dims.end());
  oc::OnnxModel model;
  {
    const py::gil_scoped_release release;
    model = oc::import_onnx(file, options).value();
  }
  // Each array takes its weight's bytes over: the values are never copied.
  py::dict weights;
  for (oc::WeightValues& weight : model.weights) {
    const oc::TensorId id = weight.tensor;
    const std::span<const std::uint64_t> shape = model.graph.tensors[id.index].shape;
    if (weight.dtype == oc::DType::I32) {
      weights[py::cast(id)] = take_over(
          std::move(weight), [](const oc::WeightValues& held) { return held.integers(); }, shape);
    } else {
      weights[py::cast(id)] = take_over(
          std::move(weight), [](const oc::WeightValues& held) { return held.values(); }, shape);
    }
  }
  return {std::move(model.graph), std::move(weights), std::move(model.input_names),
          std::move(model.output_names)};
}

OnnxTensorArray read_tensor(const std::filesystem::path& file) {
  oc::OnnxTensor tensor;
  {
    const py::gil_scoped_release release;
    tensor = oc::read_onnx_tensor(file).value();
  }
  if (tensor.dtype == oc::DType::I32) {
    return {std::move(tensor.name), to_array(std::move(tensor.int_values), tensor.shape)};
  }
  return {std::move(tensor.name), to_array(std::move(tensor.values), tensor.shape)};
}

} // namespace

void bind_onnx(py::module_& module) {
  py::class_<OnnxModelArrays>(module, "OnnxModel", "An imported ONNX model.")
      .def_readonly("graph", &OnnxModelArrays::graph,
                    "The model as a graph, its outputs marked in the model's order.")
      .def_readonly("weights", &OnnxModelArrays::weights,
                    "The values of every weight tensor: a dict from TensorId to a float32 array "
                    "of the tensor's shape, ready to pass to `evaluate`.")
      .def_readonly("input_names", &OnnxModelArrays::input_names,
                    "The names of the model's inputs, in its order.")
      .def_readonly("output_names", &OnnxModelArrays::output_names,
                    "The model's names of its outputs, in its order: output_names[i] names "
                    "graph.outputs[i], a copy under a fresh name when the model lists that "
                    "output again.");
  module.def("import_onnx", &import_model, "path"_a,
             "dims"_a = std::map<std::string, std::uint64_t>{},
             "Reads an ONNX model file and imports it; `dims` gives the extent of each symbolic "
             "dimension by its name. Raises CompileError (kind \"Graph\", the message starting "
             "with the path) for a file that cannot be read or imported, naming the node of an "
             "unsupported operator. Releases the GIL.");

  py::class_<OnnxTensorArray>(module, "OnnxTensor", "A tensor of a TensorProto file.")
      .def_readonly("name", &OnnxTensorArray::name, "The tensor's name in the file.")
      .def_readonly("values", &OnnxTensorArray::values,
                    "The values, an array of the tensor's shape: float32 for FLOAT data, int32 "
                    "for INT32 and INT64 data.");
  module.def("read_onnx_tensor", &read_tensor, "path"_a,
             "Reads a FLOAT, INT32 or INT64 tensor from a serialised TensorProto file (.pb), such "
             "as the inputs and outputs of ONNX's test cases; INT64 values become int32 with a "
             "range check. Raises CompileError for a file that cannot be read or parsed, another "
             "data type, data that does not fit the shape, or an INT64 value outside int32.");
}

} // namespace orvik_python
