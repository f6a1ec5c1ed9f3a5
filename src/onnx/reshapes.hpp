#pragma once

// A value under another shape of as many elements: no operation for a constant or an unchanged
// shape, a Reshape otherwise; and a tensor repeated to a larger shape by broadcasting.

#include "conversion.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orvik_compiler::onnx_import {

/// The value as a graph tensor of either element type: a float or integer tensor as it is, a
/// float constant as its weight; errors as for `tensor_of`.
Result<TensorId> any_tensor(Conversion& conversion, const Node& node, const Value& value);

/// The value under a new shape with as many elements, named `name`: for a constant, a constant
/// over the same data; for a tensor of that very shape, the tensor itself; otherwise a Reshape.
/// Errors: another element count, a scalar or empty tensor.
Result<Value> reshaped(Conversion& conversion, const Node& node, const Value& value,
                       std::vector<std::uint64_t> shape, const std::string& name);

/// The value's tensor repeated to `shape` by a Broadcast named `name`, or the tensor itself when
/// it has that shape already. Errors: a value that is neither a tensor nor a float constant, a
/// shape it does not broadcast to.
Result<TensorId> broadcast_to(Conversion& conversion, const Node& node, const Value& value,
                              std::vector<std::uint64_t> shape, const std::string& name);

} // namespace orvik_compiler::onnx_import
