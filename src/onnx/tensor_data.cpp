// Decoding the values and shapes of ONNX tensors, and reading tensor files.

#include "tensor_data.hpp"

#include "../result_try.hpp"
#include "orvik_compiler/onnx.hpp"
#include "read_model.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <limits>
#include <new>

namespace orvik_compiler::onnx_import {
namespace {

/// Where a tensor's values are: in `raw_data` (true) or in the typed field; an error when they are
/// elsewhere or do not number `elements` of `size` bytes.
template <class Field>
Result<bool> locate(const onnx::TensorProto& tensor, std::uint64_t elements, std::size_t size,
                    const Field& typed) {
  if (tensor.data_location() == onnx::TensorProto::EXTERNAL) {
    return CompileError::graph("external data is not supported");
  }
  if (tensor.has_segment()) {
    return CompileError::graph("segmented data is not supported");
  }
  if (tensor.has_raw_data()) {
    const std::string& raw = tensor.raw_data();
    if (raw.size() / size != elements || raw.size() % size != 0) {
      return CompileError::graph("raw_data holds " + std::to_string(raw.size()) +
                                 " bytes, the shape needs " + std::to_string(elements) + " x " +
                                 std::to_string(size));
    }
    return true;
  }
  if (static_cast<std::uint64_t>(typed.size()) != elements) {
    return CompileError::graph("holds " + std::to_string(typed.size()) +
                               " values, the shape needs " + std::to_string(elements));
  }
  return false;
}

/// Turns little-endian values of `size` bytes into the host's order, in place.
void from_little_endian(std::span<char> bytes, std::size_t size) {
  if constexpr (std::endian::native == std::endian::big) {
    for (std::size_t i = 0; i + size <= bytes.size(); i += size) {
      std::reverse(bytes.begin() + static_cast<std::ptrdiff_t>(i),
                   bytes.begin() + static_cast<std::ptrdiff_t>(i + size));
    }
  }
}

/// `elements` values of type T from little-endian bytes, or from the typed field.
template <class T, class Field>
Result<std::vector<T>> decode(const onnx::TensorProto& tensor, std::uint64_t elements,
                              const Field& typed) {
  const Result<bool> raw = locate(tensor, elements, sizeof(T), typed);
  if (!raw) {
    return raw.error();
  }
  if (!*raw) {
    return std::vector<T>(typed.begin(), typed.end());
  }
  const std::string& bytes = tensor.raw_data();
  std::vector<T> values(static_cast<std::size_t>(elements));
  if (!bytes.empty()) {
    std::memcpy(values.data(), bytes.data(), bytes.size());
  }
  from_little_endian({reinterpret_cast<char*>(values.data()), bytes.size()}, sizeof(T));
  return values;
}

} // namespace

std::optional<std::uint64_t> element_count(const std::vector<std::uint64_t>& shape) {
  constexpr std::uint64_t limit = std::numeric_limits<std::ptrdiff_t>::max() / 8;
  std::uint64_t count = 1;
  for (const std::uint64_t extent : shape) {
    if (__builtin_mul_overflow(count, extent, &count)) {
      return std::nullopt;
    }
  }
  // A zero extent anywhere makes the count 0 whatever the others are; the others still have to
  // fit on their own.
  for (const std::uint64_t extent : shape) {
    if (extent > limit) {
      return std::nullopt;
    }
  }
  if (count > limit) {
    return std::nullopt;
  }
  return count;
}

std::string data_type_name(std::int32_t data_type) {
  if (onnx::TensorProto::DataType_IsValid(data_type)) {
    return onnx::TensorProto::DataType_Name(static_cast<onnx::TensorProto::DataType>(data_type));
  }
  return std::to_string(data_type);
}

Result<std::vector<std::uint64_t>> tensor_shape(const onnx::TensorProto& tensor) {
  std::vector<std::uint64_t> shape;
  shape.reserve(static_cast<std::size_t>(tensor.dims_size()));
  for (const std::int64_t extent : tensor.dims()) {
    if (extent < 0) {
      return CompileError::graph("dimension " + std::to_string(shape.size()) + " is negative (" +
                                 std::to_string(extent) + ")");
    }
    shape.push_back(static_cast<std::uint64_t>(extent));
  }
  if (!element_count(shape)) {
    return CompileError::graph("shape " + shape_text(shape) + " has too many elements");
  }
  return shape;
}

Result<std::vector<float>> float_values(const onnx::TensorProto& tensor, std::uint64_t elements) {
  return decode<float>(tensor, elements, tensor.float_data());
}

Result<std::string> take_float_bytes(onnx::TensorProto& tensor, std::uint64_t elements) {
  const Result<bool> raw = locate(tensor, elements, sizeof(float), tensor.float_data());
  if (!raw) {
    return raw.error();
  }
  if (!*raw) {
    return float_bytes(
        {tensor.float_data().data(), static_cast<std::size_t>(tensor.float_data().size())});
  }
  std::string bytes = std::move(*tensor.mutable_raw_data());
  from_little_endian(bytes, sizeof(float));
  return bytes;
}

std::string float_bytes(std::span<const float> values) {
  return std::string(reinterpret_cast<const char*>(values.data()), values.size_bytes());
}

std::span<float> writable_floats_in(std::string& bytes) {
  return {std::launder(reinterpret_cast<float*>(bytes.data())), bytes.size() / sizeof(float)};
}

std::span<const float> floats_in(const std::string& bytes) {
  // The bytes were copied in (by protobuf or by `float_bytes`), which creates the floats they
  // represent; a string's buffer is aligned for any scalar.
  return {std::launder(reinterpret_cast<const float*>(bytes.data())), bytes.size() / sizeof(float)};
}

bool is_integer_type(std::int32_t data_type) {
  return data_type == onnx::TensorProto::INT32 || data_type == onnx::TensorProto::INT64;
}

std::string int32_bytes(std::span<const std::int64_t> values) {
  std::string bytes(values.size() * sizeof(std::int32_t), '\0');
  for (std::size_t i = 0; i < values.size(); ++i) {
    const auto value = static_cast<std::int32_t>(values[i]);
    std::memcpy(bytes.data() + i * sizeof(value), &value, sizeof(value));
  }
  return bytes;
}

std::span<const std::int32_t> int32s_in(const std::string& bytes) {
  return {std::launder(reinterpret_cast<const std::int32_t*>(bytes.data())),
          bytes.size() / sizeof(std::int32_t)};
}

Result<std::vector<std::int32_t>> int32_values(const onnx::TensorProto& tensor,
                                               std::uint64_t elements) {
  return decode<std::int32_t>(tensor, elements, tensor.int32_data());
}

Result<std::vector<std::int64_t>> int64_values(const onnx::TensorProto& tensor,
                                               std::uint64_t elements) {
  return decode<std::int64_t>(tensor, elements, tensor.int64_data());
}

} // namespace orvik_compiler::onnx_import

namespace orvik_compiler {

std::span<const float> WeightValues::values() const {
  if (dtype != DType::F32) {
    return {};
  }
  return onnx_import::floats_in(bytes);
}

std::span<const std::int32_t> WeightValues::integers() const {
  if (dtype != DType::I32) {
    return {};
  }
  return onnx_import::int32s_in(bytes);
}

TensorValue WeightValues::binding() const {
  if (dtype == DType::I32) {
    return {tensor, integers()};
  }
  return {tensor, values()};
}

namespace {

/// 64-bit integers as 32-bit ones, or the first that does not fit.
Result<std::vector<std::int32_t>> narrowed(const std::vector<std::int64_t>& wide) {
  std::vector<std::int32_t> values;
  values.reserve(wide.size());
  for (const std::int64_t value : wide) {
    if (value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
      return CompileError::graph("value " + std::to_string(value) + " at index " +
                                 std::to_string(values.size()) + " does not fit int32");
    }
    values.push_back(static_cast<std::int32_t>(value));
  }
  return values;
}

/// The I32 values of an INT32 or INT64 tensor of `elements` elements.
Result<std::vector<std::int32_t>> integer_values(const onnx::TensorProto& proto,
                                                 std::uint64_t elements) {
  if (proto.data_type() == onnx::TensorProto::INT32) {
    return onnx_import::int32_values(proto, elements);
  }
  ORVIK_TRY(wide, onnx_import::int64_values(proto, elements));
  return narrowed(wide);
}

/// The tensor a parsed `TensorProto` holds: FLOAT data as F32 values, INT32 and INT64 data as
/// I32 values.
Result<OnnxTensor> typed_tensor(const onnx::TensorProto& proto) {
  using namespace onnx_import;
  const std::int32_t type = proto.data_type();
  if (type != onnx::TensorProto::FLOAT && type != onnx::TensorProto::INT32 &&
      type != onnx::TensorProto::INT64) {
    return CompileError::graph("tensor has data type " + data_type_name(type) +
                               "; only FLOAT (float32), INT32 and INT64 are supported");
  }
  ORVIK_TRY(shape, tensor_shape(proto));
  const std::uint64_t elements = *element_count(shape);
  if (type == onnx::TensorProto::FLOAT) {
    ORVIK_TRY(values, float_values(proto, elements));
    return OnnxTensor{proto.name(), std::move(shape), std::move(values), DType::F32, {}};
  }
  ORVIK_TRY(values, integer_values(proto, elements));
  return OnnxTensor{proto.name(), std::move(shape), {}, DType::I32, std::move(values)};
}

} // namespace

Result<OnnxTensor> read_onnx_tensor(const std::filesystem::path& file) {
  onnx::TensorProto proto;
  Result<void> parsed = onnx_import::parse_file(file, proto);
  Result<OnnxTensor> tensor = parsed ? typed_tensor(proto) : parsed.error();
  if (!tensor) {
    return CompileError::graph(file.string() + ": " + tensor.error().message);
  }
  return tensor;
}

Result<OnnxTensor> parse_onnx_tensor(std::string_view bytes) {
  onnx::TensorProto proto;
  if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()) ||
      !proto.ParseFromArray(bytes.data(), static_cast<int>(bytes.size()))) {
    return CompileError::graph("not a protobuf message of this kind (malformed or truncated)");
  }
  return typed_tensor(proto);
}

} // namespace orvik_compiler
