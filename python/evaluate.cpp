// The host interpreter in Python: values bound by tensor id or name as NumPy arrays, the
// outputs returned as arrays.

#include "bindings.hpp"

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <utility>
#include <variant>

namespace orvik_python {
namespace {

namespace oc = orvik_compiler;
using namespace pybind11::literals;

/// The tensor a key of the values names: a TensorId of the graph (IndexError otherwise), or
/// the name of exactly one tensor (CompileError otherwise).
oc::TensorId bound_tensor(const oc::Graph& graph, const py::handle& key) {
  if (py::isinstance<oc::TensorId>(key)) {
    const auto id = key.cast<oc::TensorId>();
    if (id.index >= graph.tensors.size()) {
      throw std::out_of_range("unknown tensor " + debug_text(id) + " in a graph of " +
                              std::to_string(graph.tensors.size()) + " tensors");
    }
    return id;
  }
  if (!py::isinstance<py::str>(key)) {
    throw py::type_error("a key of the values must be a TensorId or a tensor name, not " +
                         std::string(py::str(py::type::handle_of(key).attr("__name__"))));
  }
  const auto name = key.cast<std::string>();
  std::vector<oc::TensorId> matches;
  for (const oc::Tensor& tensor : graph.tensors) {
    if (tensor.name == name) {
      matches.push_back(tensor.id);
    }
  }
  if (matches.empty()) {
    raise_compile_error(oc::CompileError::graph("no tensor is named " + name));
  }
  if (matches.size() > 1) {
    raise_compile_error(
        oc::CompileError::graph(std::to_string(matches.size()) + " tensors are named " + name));
  }
  return matches.front();
}

void check_shape(const oc::Tensor& tensor, const py::array& array) {
  const std::vector<std::uint64_t> shape = shape_of(array);
  if (shape != tensor.shape) {
    raise_compile_error(oc::CompileError::graph("tensor " + tensor.name + " has shape " +
                                                shape_text(shape) + ", expected " +
                                                shape_text(tensor.shape)));
  }
}

/// The budget that `evaluate` uses unless told otherwise: 1 GiB, the tool's default.
constexpr std::uint64_t default_memory_budget = std::uint64_t{1} << 30U;

py::list evaluate(oc::Graph graph, const py::dict& values, std::uint64_t memory_budget) {
  // Refused before any value is converted or computed, so that a graph whose values cannot fit
  // stops cleanly instead of running the process out of memory part way.
  if (const std::uint64_t needed = oc::evaluation_memory_bound(graph); needed > memory_budget) {
    PyErr_SetString(PyExc_MemoryError,
                    ("evaluate needs an estimated " + std::to_string(needed) +
                     " bytes of memory, more than the budget of " + std::to_string(memory_budget) +
                     " bytes; memory_budget raises it")
                        .c_str());
    throw py::error_already_set();
  }
  // The arrays stay referenced here while the library reads them in place.
  std::vector<py::array> arrays;
  std::vector<oc::TensorValue> bound;
  for (const auto& [key, value] : values) {
    const oc::TensorId id = bound_tensor(graph, key);
    const oc::Tensor& tensor = graph.tensors[id.index];
    const std::string what = "the value for tensor " + tensor.name;
    // Integers bind to an I32 tensor as integers. Any other numbers bind as floats, as they
    // always have for F32 tensors, so that the library names a float value given to an I32
    // tensor.
    if (tensor.dtype == oc::DType::I32) {
      if (const std::optional<py::array> integers = integer_array(value)) {
        check_shape(tensor, *integers);
        Int32Array array = as_int32_array(*integers, tensor.name);
        bound.push_back({id, values_of(array)});
        arrays.push_back(std::move(array));
        continue;
      }
      if (!FloatArray::ensure(value)) {
        throw py::type_error(what + " is not convertible to an int32 array");
      }
    }
    FloatArray array = as_float_array(value, what);
    check_shape(tensor, array);
    bound.push_back({id, values_of(array)});
    arrays.push_back(std::move(array));
  }
  std::vector<oc::TensorData> results;
  {
    const py::gil_scoped_release release;
    results = oc::evaluate_typed(graph, bound).value();
  }
  py::list outputs;
  for (std::size_t index = 0; index < results.size(); ++index) {
    const std::vector<std::uint64_t>& shape = graph.tensors[graph.outputs[index].index].shape;
    outputs.append(
        std::visit([&shape](auto& data) -> py::object { return to_array(std::move(data), shape); },
                   results[index]));
  }
  return outputs;
}

} // namespace

void bind_evaluate(py::module_& module) {
  module.def("evaluate", &evaluate, "graph"_a, "values"_a,
             "memory_budget"_a = default_memory_budget,
             "Evaluates the graph on the host with the library's kernels and returns the values "
             "of its outputs, in order, as arrays of their shapes: float32 for an F32 tensor, "
             "int32 for an I32 one. `values` maps a TensorId or a tensor name to an array of "
             "the tensor's shape exactly: for an F32 tensor anything NumPy converts to float32; "
             "for an I32 tensor an integer array, of any width as long as every value fits 32 "
             "bits. C-contiguous float32 and int32 arrays are read in place. Every tensor that "
             "no operation computes and that is read or an output needs a value. Raises "
             "CompileError for a name that matches no tensor or several, a wrong shape, an "
             "integer outside the int32 range, and the library's errors (a float array for an "
             "I32 tensor: \"tensor {name} has F32 values, expected I32\"); IndexError for an "
             "id outside the graph; MemoryError, before any value is converted or computed, "
             "when the evaluation is estimated to need more than `memory_budget` bytes beyond "
             "the values given (1 GiB unless told otherwise). Releases the GIL.");
}

} // namespace orvik_python
