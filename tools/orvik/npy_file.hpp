#pragma once

// NumPy's .npy array files in C order, for 32-bit little-endian floats and integers, and 64-bit
// little-endian integers read as 32-bit ones: the magic bytes "\x93NUMPY", a version, the length
// of a header, the header (a Python dictionary literal with 'descr', 'fortran_order' and
// 'shape'), then the values.

#include "tool_failure.hpp"

#include <orvik_compiler/debug_text.hpp>
#include <orvik_compiler/evaluate.hpp>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orvik_tool {

/// An array read from a .npy file: its shape, outermost first, and its values in C order,
/// floats or 32-bit integers.
struct NpyArray {
  std::vector<std::uint64_t> shape;
  orvik_compiler::TensorData values;
};

/// Reads the bytes of a .npy file of versions 1.0, 2.0 or 3.0 whose element type is '<f4',
/// '<i4' or '<i8' and whose order is C; 64-bit integers become 32-bit ones. The values must fill
/// the shape exactly. A file that cannot be read fails with the usage status and "FILE: " before
/// what is wrong: "not a .npy file", "unsupported .npy version 4.0", "malformed header: ...",
/// "element type '<f8' is not '<f4', '<i4' or '<i8'", "Fortran order is not supported", "holds
/// 12 bytes of values, its shape [2, 2] needs 16", "value 4294967296 at index 3 does not fit
/// int32" (the first such value, indices counted from 0 in C order).
ToolResult<NpyArray> read_npy(std::string_view bytes, std::string_view file);

/// The bytes of a .npy file holding `values` under `shape`, as '<f4' or '<i4': version 1.0 with
/// the header padded so that the values start at a multiple of 64 bytes, or 2.0 when the header
/// needs more than 65,535 bytes. `values` must hold the product of `shape`.
std::string write_npy(std::span<const std::uint64_t> shape, std::span<const float> values);

/// The most bytes that `write_npy` returns for values of `shape`: the header, at most 134 bytes
/// and 22 an axis, and 4 bytes an element. While it writes them it holds the values' bytes once
/// more. Saturates at 2^64 - 1.
std::uint64_t npy_size_bound(std::span<const std::uint64_t> shape);
std::string write_npy(std::span<const std::uint64_t> shape, std::span<const std::int32_t> values);

using orvik_compiler::shape_text;

} // namespace orvik_tool
