#pragma once

// The transformer-encoder workload: its graph, deterministic weights and the host reference
// evaluation of one layer.

#include "orvik_compiler/graph.hpp"

#include <cstdint>
#include <iosfwd>
#include <span>
#include <string_view>
#include <vector>

namespace orvik_compiler {

/// The dimensions of one encoder layer.
struct EncoderConfig {
  /// Tokens: the rows of every activation.
  std::uint64_t sequence = 32;
  /// Model width: the columns of the activations.
  std::uint64_t hidden = 64;
  std::uint64_t heads = 4;
  /// Width of the feed-forward block's inner layer.
  std::uint64_t feed_forward = 256;

  friend bool operator==(const EncoderConfig&, const EncoderConfig&) = default;
};

/// The epsilon of both layer normalisations of the encoder layer: the float nearest to 1e-5.
inline constexpr float encoder_layer_norm_epsilon = 1e-5F;

/// The encoder layer as a graph of 22 tensors and 15 operations with "ffn_residual" as its one
/// output. "invalid encoder dimensions" when sequence, hidden or heads is 0 or hidden is not a
/// multiple of heads; feed_forward is not tested.
Result<Graph> encoder_graph(EncoderConfig config);

/// Appends one encoder layer that reads `input`, a sequence x hidden tensor of `graph`: its six
/// weights "wq", "wk", "wv", "wo", "w1", "w2" and its fifteen operations from "norm1" to
/// "ffn_residual", every name prefixed with `prefix`, in the order of `encoder_graph`. Returns
/// the layer's result, which is not marked as an output. "invalid encoder dimensions" as for
/// `encoder_graph`, and a builder error when `input` has another shape; the graph is left
/// unchanged on failure.
Result<TensorId> append_encoder_layer(Graph& graph, EncoderConfig config, TensorId input,
                                      std::string_view prefix);

/// The six weight matrices of one layer read in place, as `encoder_reference` reads them:
/// row-major, applied from the right, each a view of values that the caller keeps alive and
/// unchanged while they are read. An `EncoderWeights` converts to one over its own arrays.
struct EncoderWeightsView {
  std::span<const float> wq; ///< hidden x hidden
  std::span<const float> wk; ///< hidden x hidden
  std::span<const float> wv; ///< hidden x hidden
  std::span<const float> wo; ///< hidden x hidden
  std::span<const float> w1; ///< hidden x feed_forward
  std::span<const float> w2; ///< feed_forward x hidden
};

/// The six weight matrices of one layer, row-major, applied from the right.
struct EncoderWeights {
  std::vector<float> wq; ///< hidden x hidden
  std::vector<float> wk; ///< hidden x hidden
  std::vector<float> wv; ///< hidden x hidden
  std::vector<float> wo; ///< hidden x hidden
  std::vector<float> w1; ///< hidden x feed_forward
  std::vector<float> w2; ///< feed_forward x hidden

  /// Element i of the matrix with ordinal k (wq = 1 .. w2 = 6) and `rows` rows is
  /// (((17 i + 31 k) mod 101) - 50) / sqrt(50 * rows), every step rounded to single precision.
  /// The same on every run and machine. Throws std::overflow_error, before allocating, when a
  /// matrix's element count or byte size does not fit 64 bits.
  static EncoderWeights deterministic(EncoderConfig config);

  /// Views of the six arrays, valid while this record lives and its arrays keep their storage.
  /// Implicit, so that `encoder_reference` takes the weights as it always has.
  operator EncoderWeightsView() const noexcept { return {wq, wk, wv, wo, w1, w2}; }

  friend bool operator==(const EncoderWeights&, const EncoderWeights&) = default;
};

/// Evaluates one encoder layer on the host with per-head attention scaled by sqrt(head width).
/// The input and the weights are read in place. "encoder input size mismatch" when `input` does
/// not hold sequence x hidden values (also when that product does not fit 64 bits), "invalid
/// encoder dimensions" when heads is 0. A weight array shorter than its matrix throws
/// std::out_of_range, and an intermediate array whose size does not fit 64 bits (sequence x
/// sequence scores, say) std::overflow_error, before anything is allocated. Bit-repeatable.
Result<std::vector<float>> encoder_reference(EncoderConfig config, std::span<const float> input,
                                             EncoderWeightsView weights);

std::ostream& operator<<(std::ostream& out, const EncoderConfig& config);

} // namespace orvik_compiler
