#pragma once

// The pieces of the Python module `orvik_compiler`: one binder per part of the library, and the
// helpers they share. The bindings mirror the C++ names; pybind11 does the conversions.
//
// Two rules keep every call safe from Python:
// - A record that Python can change (`Graph`, `CompilerOptions`, `EncoderConfig`) never hands
//   out references into itself: its lists are copies. Only immutable records (`Schedule` and
//   everything in it) give views that keep their owner alive.
// - A call that releases the GIL first copies every argument that another thread could change
//   meanwhile (taking it by value, while the GIL is still held), so no thread can pull a graph
//   from under a running compilation.

#include <orvik_compiler/orvik_compiler.hpp>

#include <pybind11/numpy.h>
#include <pybind11/operators.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvik_python {

namespace py = pybind11;

/// A C-contiguous, aligned array of `Element`: an array that already is one is taken as it is,
/// by reference, and anything else is converted on the way in. Aligned, because the library
/// reads the values through ordinary pointers.
template <class Element>
using ContiguousArray = py::array_t<Element, py::array::c_style | py::array::forcecast |
                                                 py::detail::npy_api::NPY_ARRAY_ALIGNED_>;
/// The values of an F32 tensor.
using FloatArray = ContiguousArray<float>;
/// The values of an I32 tensor.
using Int32Array = ContiguousArray<std::int32_t>;

// ---- The binders, in the order the module calls them ------------------------------------------

/// `CompileError`, and the translation of the library's failures into Python exceptions.
void bind_errors(py::module_& module);
/// The ids, enums and records of the graph, and `Graph` with its builder.
void bind_graph(py::module_& module);
/// `CompilerOptions` and the records of a `Schedule`.
void bind_schedule(py::module_& module);
/// `compile` and `verify_schedule`.
void bind_compiler(py::module_& module);
/// `EncoderConfig`, `encoder_graph`, `EncoderWeights` and `encoder_reference`.
void bind_encoder(py::module_& module);
/// `evaluate`, the host interpreter.
void bind_evaluate(py::module_& module);
/// `import_onnx` and `read_onnx_tensor`, the ONNX importer.
void bind_onnx(py::module_& module);

// ---- Shared helpers ---------------------------------------------------------------------------

/// Raises `orvik_compiler.CompileError` with this error's kind and message.
[[noreturn]] void raise_compile_error(orvik_compiler::CompileError error);

/// The library's debug text of a record: what its `repr()` returns.
template <class Record>
std::string debug_text(const Record& record) {
  std::ostringstream text;
  text << record;
  return text.str();
}

/// Gives a bound record the library's equality as `==` and its debug text as `repr()`.
template <class Binding>
Binding& with_equality_and_repr(Binding& binding) {
  using Record = typename Binding::type;
  binding.def(py::self == py::self, "Field-by-field equality, as the library defines it.")
      .def("__repr__", &debug_text<Record>, "The library's debug text of the record.");
  return binding;
}

using orvik_compiler::shape_text;

/// The shape of a NumPy array.
std::vector<std::uint64_t> shape_of(const py::array& array);

/// `shape` as NumPy extents. Throws std::overflow_error when an extent does not fit NumPy's
/// index type.
std::vector<py::ssize_t> numpy_extents(std::span<const std::uint64_t> shape);

/// A NumPy array of `shape` over `data`, which `owner` keeps alive. Throws std::overflow_error
/// when an extent does not fit NumPy's index type.
template <class Element>
ContiguousArray<Element> array_over(const Element* data, const py::capsule& owner,
                                    std::span<const std::uint64_t> shape) {
  return ContiguousArray<Element>(numpy_extents(shape), data, owner);
}

/// A NumPy array of `shape` that takes `owner` over and shows the values that
/// `values_of_owner` gives of it, without a copy; its element type is theirs.
template <class Owner, class Values>
auto take_over(Owner owner, Values values_of_owner, std::span<const std::uint64_t> shape) {
  auto held = std::make_unique<Owner>(std::move(owner));
  const auto* data = values_of_owner(*held).data();
  const py::capsule release(held.get(), [](void* object) { delete static_cast<Owner*>(object); });
  static_cast<void>(held.release());
  return array_over(data, release, shape);
}

/// The values as a NumPy array of `shape` (float32 or int32, as the values) that takes them
/// over, without a copy.
template <class Element>
ContiguousArray<Element> to_array(std::vector<Element> values,
                                  std::span<const std::uint64_t> shape) {
  return take_over(
      std::move(values), [](const std::vector<Element>& held) { return std::span(held); }, shape);
}

/// `object` as a C-contiguous float32 array: the array itself, not a copy, when it already is
/// one. TypeError naming `what` when NumPy cannot convert it.
FloatArray as_float_array(const py::handle& object, std::string_view what);

/// The data of a C-contiguous float32 array as a span, for the library to read in place.
std::span<const float> values_of(const FloatArray& array);

/// `object` as a NumPy array when NumPy sees integers in it (signed or unsigned, of any width);
/// nothing otherwise, or when NumPy cannot convert it at all.
std::optional<py::array> integer_array(const py::handle& object);

/// An integer array as int32 values of the tensor named `tensor_name`: an int32 array itself, not
/// a copy; any other integer array converted once every value is known to fit, CompileError
/// "tensor {name}: {value} at index {i} does not fit I32" otherwise (the index counts elements in
/// row-major order).
Int32Array as_int32_array(const py::array& integers, const std::string& tensor_name);

/// The data of a C-contiguous int32 array as a span, for the library to read in place.
std::span<const std::int32_t> values_of(const Int32Array& array);

} // namespace orvik_python
