#pragma once

// The error with which both the encoder graph and the host reference refuse an EncoderConfig.
// Only the message is shared: the two accept different dimensions. The graph refuses a
// sequence, hidden or heads of 0 and a hidden that is not a multiple of heads. The reference
// refuses only heads of 0, the one dimension it divides by: it runs on empty arrays, and when
// heads does not divide hidden the columns past the last whole head take no part in the
// attention.

#include "orvik_compiler/graph.hpp"

namespace orvik_compiler {

/// "invalid encoder dimensions".
inline CompileError invalid_encoder_dimensions() {
  return CompileError::graph("invalid encoder dimensions");
}

} // namespace orvik_compiler
