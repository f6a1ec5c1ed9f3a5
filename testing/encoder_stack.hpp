#pragma once

// Stacks of encoder layers: the large workloads of the differential test and the benchmark.

#include <orvik_compiler/orvik_compiler.hpp>

#include <cstddef>

namespace orvik_compiler::testing {

/// `layers` encoder layers chained through the builder: one input "input" of sequence x hidden,
/// then per layer i (from 0) its own six weights and fifteen operations, every name prefixed
/// with "layer{i}.", layer i + 1 reading layer i's "ffn_residual". Each layer is the graph of
/// `encoder_graph` with its input replaced; only the last layer's result is an output.
/// "an encoder stack needs at least one layer" for zero layers, and "invalid encoder dimensions"
/// for dimensions that `encoder_graph` rejects.
Result<Graph> encoder_stack(EncoderConfig config, std::size_t layers);

} // namespace orvik_compiler::testing
