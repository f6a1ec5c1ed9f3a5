#pragma once

// The dimension rule that the encoder graph and the host reference share.

#include "orvik_compiler/encoder.hpp"

namespace orvik_compiler {

/// "invalid encoder dimensions".
inline CompileError invalid_encoder_dimensions() {
  return CompileError::graph("invalid encoder dimensions");
}

} // namespace orvik_compiler
