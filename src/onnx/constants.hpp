#pragma once

// Values known at import: decoded from initializers and `Constant` nodes, made by the importer,
// and turned into weight tensors where an operation reads them.

#include "conversion.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace orvik_compiler::onnx_import {

/// Decodes an initializer or the tensor of a `Constant` node into a value named `name`: float32
/// and int64 tensors become constants (the float32 values taken over from `raw_data` without a
/// copy), tensors of other data types values of that type, refused where they are read. Errors,
/// without a prefix: a malformed shape or data.
Result<Value> decoded_constant(Conversion& conversion, onnx::TensorProto& tensor,
                               const std::string& name);

/// A float constant made at import, such as a Gemm's alpha, under a fresh name made from
/// `base`.
Value new_constant(Conversion& conversion, const std::string& base,
                   std::vector<std::uint64_t> shape, std::vector<float> values);
/// The same, of the bytes of its floats as `float_bytes` makes them, taken over.
Value new_constant_of_bytes(Conversion& conversion, const std::string& base,
                            std::vector<std::uint64_t> shape, std::string bytes);

/// The tensor of a constant: a weight of its data, made once, or a reshape of the weight made of
/// the same data under another shape; an I32 weight for an integer constant. Errors, without a
/// prefix: a scalar or empty constant, an integer that does not fit 32 bits.
Result<TensorId> constant_tensor(Conversion& conversion, const Value& value);

} // namespace orvik_compiler::onnx_import
