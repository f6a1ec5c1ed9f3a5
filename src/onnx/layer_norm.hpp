#pragma once

// Layer normalisation over trailing axes, then a scale and a bias, as the graph's LayerNorm,
// Mul and Add: what the LayerNormalization operator and the written-out pattern both become.

#include "conversion.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace orvik_compiler::onnx_import {

/// The parts of a layer normalisation after the normalising itself, with the names of the
/// tensors each part makes.
struct LayerNormParts {
  std::string normalized;
  /// Multiplied with the normalised values when present.
  std::optional<Value> scale;
  std::string scaled;
  /// Added last when present.
  std::optional<Value> bias;
  std::string biased;
};

/// Layer normalisation of `input` over its last `axes` axes with `epsilon`, then the product
/// with the scale and the sum with the bias where `parts` has them; returns the last tensor.
/// Over more than the last axis, the input is reshaped to rows first and back afterwards.
Result<TensorId> layer_norm(Conversion& conversion, const Node& node, TensorId input,
                            std::uint64_t axes, float epsilon, const LayerNormParts& parts);

} // namespace orvik_compiler::onnx_import
