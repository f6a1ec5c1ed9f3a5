#pragma once

// The encoder layer as an ONNX model, written as exporters write one.

#include "testing/onnx/model_builder.hpp"

#include <orvik_compiler/encoder.hpp>

#include <cstdint>

namespace orvik_compiler::testing {

/// How the generated model writes its layer normalisations.
enum class NormForm : std::uint8_t {
  /// One LayerNormalization node (opset 17).
  Operator,
  /// ReduceMean, Sub, Pow, ReduceMean, Add, Sqrt, Div, Mul and Add, as exporters before opset
  /// 17 write it.
  WrittenOut,
};

/// A model of `layers` chained encoder layers of `config`, the operations of
/// `append_encoder_layer` in its order: each layer normalisation with scale 1 and bias 0 in the
/// given form, GELU written out in its tanh form, the weights of every layer those of
/// `EncoderWeights::deterministic(config)` under the names "layerN/wq" and so on. The input is
/// "input", the output "output".
ModelBuilder encoder_model(const EncoderConfig& config, std::uint64_t layers, NormForm norms);

} // namespace orvik_compiler::testing
