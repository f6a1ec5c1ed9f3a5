// NumPy arrays in and out: float32 and int32 values handed over without copies where NumPy
// allows it.

#include "bindings.hpp"

#include <cstddef>
#include <limits>
#include <optional>
#include <stdexcept>
#include <utility>

namespace orvik_python {

std::vector<std::uint64_t> shape_of(const py::array& array) {
  std::vector<std::uint64_t> shape;
  for (py::ssize_t axis = 0; axis < array.ndim(); ++axis) {
    shape.push_back(static_cast<std::uint64_t>(array.shape(axis)));
  }
  return shape;
}

std::vector<py::ssize_t> numpy_extents(std::span<const std::uint64_t> shape) {
  std::vector<py::ssize_t> extents;
  for (const std::uint64_t extent : shape) {
    if (extent > static_cast<std::uint64_t>(std::numeric_limits<py::ssize_t>::max())) {
      throw std::overflow_error("extent " + std::to_string(extent) +
                                " does not fit a NumPy array's index");
    }
    extents.push_back(static_cast<py::ssize_t>(extent));
  }
  return extents;
}

FloatArray as_float_array(const py::handle& object, std::string_view what) {
  FloatArray array = FloatArray::ensure(object);
  if (!array) {
    throw py::type_error(std::string(what) + " is not convertible to a float32 array");
  }
  return array;
}

std::span<const float> values_of(const FloatArray& array) {
  return {array.data(), static_cast<std::size_t>(array.size())};
}

namespace {

/// Raises CompileError at the first value of `array`, read as `Wide`, outside the int32 range.
template <class Wide>
void check_fits_int32(const py::array& array, const std::string& tensor_name) {
  const auto wide = ContiguousArray<Wide>::ensure(array);
  if (!wide) {
    throw py::type_error("the value for tensor " + tensor_name +
                         " is not convertible to 64-bit integers");
  }
  const Wide* data = wide.data();
  for (py::ssize_t index = 0; index < wide.size(); ++index) {
    if (!std::in_range<std::int32_t>(data[index])) {
      raise_compile_error(orvik_compiler::CompileError::graph(
          "tensor " + tensor_name + ": " + std::to_string(data[index]) + " at index " +
          std::to_string(index) + " does not fit I32"));
    }
  }
}

} // namespace

std::optional<py::array> integer_array(const py::handle& object) {
  auto array = py::array::ensure(object);
  if (!array) {
    return std::nullopt;
  }
  const char kind = array.dtype().kind();
  if (kind != 'i' && kind != 'u') {
    return std::nullopt;
  }
  return array;
}

Int32Array as_int32_array(const py::array& integers, const std::string& tensor_name) {
  const py::dtype dtype = integers.dtype();
  // Narrower integers always fit; wider ones, and unsigned ones of 32 bits, are checked first.
  if (dtype.kind() == 'i' && dtype.itemsize() > 4) {
    check_fits_int32<std::int64_t>(integers, tensor_name);
  } else if (dtype.kind() == 'u' && dtype.itemsize() >= 4) {
    check_fits_int32<std::uint64_t>(integers, tensor_name);
  }
  Int32Array array = Int32Array::ensure(integers);
  if (!array) {
    throw py::type_error("the value for tensor " + tensor_name +
                         " is not convertible to an int32 array");
  }
  return array;
}

std::span<const std::int32_t> values_of(const Int32Array& array) {
  return {array.data(), static_cast<std::size_t>(array.size())};
}

} // namespace orvik_python
