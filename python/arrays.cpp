// NumPy arrays in and out: float32 values handed over without copies where NumPy allows it.

#include "bindings.hpp"

#include <cstddef>
#include <limits>
#include <stdexcept>

namespace orvik_python {

std::vector<std::uint64_t> shape_of(const py::array& array) {
  std::vector<std::uint64_t> shape;
  for (py::ssize_t axis = 0; axis < array.ndim(); ++axis) {
    shape.push_back(static_cast<std::uint64_t>(array.shape(axis)));
  }
  return shape;
}

FloatArray array_over(const float* data, const py::capsule& owner,
                      std::span<const std::uint64_t> shape) {
  std::vector<py::ssize_t> extents;
  for (const std::uint64_t extent : shape) {
    if (extent > static_cast<std::uint64_t>(std::numeric_limits<py::ssize_t>::max())) {
      throw std::overflow_error("extent " + std::to_string(extent) +
                                " does not fit a NumPy array's index");
    }
    extents.push_back(static_cast<py::ssize_t>(extent));
  }
  return FloatArray(extents, data, owner);
}

FloatArray to_array(std::vector<float> values, std::span<const std::uint64_t> shape) {
  return take_over(
      std::move(values), [](const std::vector<float>& held) { return std::span(held); }, shape);
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

} // namespace orvik_python
