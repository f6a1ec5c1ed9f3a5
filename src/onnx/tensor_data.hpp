#pragma once

// Decoding the values and shapes of ONNX tensors.

#include "orvik_compiler/debug_text.hpp"
#include "orvik_compiler/result.hpp"

#include <onnx/onnx_pb.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace orvik_compiler::onnx_import {

/// The product of the extents, when it fits 64 bits and an array of that many 8-byte values
/// fits the address space; nothing otherwise.
std::optional<std::uint64_t> element_count(const std::vector<std::uint64_t>& shape);

/// The name of an ONNX data type ("FLOAT", "INT64"), or its number when it has none.
std::string data_type_name(std::int32_t data_type);

/// The shape of a tensor. Errors: a negative dimension, an element count that does not fit.
Result<std::vector<std::uint64_t>> tensor_shape(const onnx::TensorProto& tensor);

/// The values of a FLOAT tensor of `elements` elements, from `raw_data` (little-endian) or
/// `float_data`. Errors: external or segmented data, data of another length than the shape's.
Result<std::vector<float>> float_values(const onnx::TensorProto& tensor, std::uint64_t elements);

/// The values of a FLOAT tensor as the bytes of host floats, the tensor's `raw_data` taken over
/// without a copy (and left empty) on a little-endian host. Errors as for `float_values`.
Result<std::string> take_float_bytes(onnx::TensorProto& tensor, std::uint64_t elements);

/// The bytes of host floats holding `values`.
std::string float_bytes(std::span<const float> values);

/// Whether an ONNX data type is one of the integers that become I32 tensors of the graph.
bool is_integer_type(std::int32_t data_type);

/// The floats that `bytes` holds, as `float_bytes` or `take_float_bytes` made them.
std::span<const float> floats_in(const std::string& bytes);
/// The same floats, to write.
std::span<float> writable_floats_in(std::string& bytes);
/// The bytes of 32-bit integers in the host's byte order, each value narrowed: the caller has
/// checked that every one fits.
std::string int32_bytes(std::span<const std::int64_t> values);
/// The integers that `bytes` holds, as `int32_bytes` made them.
std::span<const std::int32_t> int32s_in(const std::string& bytes);

/// The values of an INT32 tensor, from `raw_data` (little-endian) or `int32_data`; errors as for
/// `float_values`.
Result<std::vector<std::int32_t>> int32_values(const onnx::TensorProto& tensor,
                                               std::uint64_t elements);

/// The values of an INT64 tensor, from `raw_data` (little-endian) or `int64_data`; errors as for
/// `float_values`.
Result<std::vector<std::int64_t>> int64_values(const onnx::TensorProto& tensor,
                                               std::uint64_t elements);

} // namespace orvik_compiler::onnx_import
