#pragma once

// A value under another shape of as many elements: no operation for a constant or an unchanged
// shape, a Reshape otherwise.

#include "conversion.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace orvik_compiler::onnx_import {

/// The value under a new shape with as many elements, named `name`: for a constant, a constant
/// over the same data; for a tensor of that very shape, the tensor itself; otherwise a Reshape.
/// Errors: another element count, a scalar or empty tensor.
Result<Value> reshaped(Conversion& conversion, const Node& node, const Value& value,
                       std::vector<std::uint64_t> shape, const std::string& name);

} // namespace orvik_compiler::onnx_import
