// The encoder layer as a graph of builder calls.

#include "orvik_compiler/encoder.hpp"

#include <ostream>

namespace orvik_compiler {
namespace {

/// The 32-bit float nearest to 1e-5, shared by both layer normalisations.
constexpr float layer_norm_epsilon = 1e-5F;

/// Unwraps a builder result that the dimension check has made infallible; the builder's own
/// error is passed on should that ever not hold.
#define ORVIK_TRY_ASSIGN(target, expression)                                                       \
  Result<TensorId> target##_result = (expression);                                                 \
  if (!target##_result) {                                                                          \
    return target##_result.error();                                                                \
  }                                                                                                \
  const TensorId target = *target##_result

} // namespace

Result<Graph> encoder_graph(EncoderConfig config) {
  const std::uint64_t s = config.sequence;
  const std::uint64_t h = config.hidden;
  const std::uint64_t f = config.feed_forward;
  if (h == 0 || s == 0 || config.heads == 0 || h % config.heads != 0) {
    return CompileError::graph("invalid encoder dimensions");
  }
  Graph graph;
  const TensorId input = graph.input("input", {s, h});
  const TensorId wq = graph.weight("wq", {h, h});
  const TensorId wk = graph.weight("wk", {h, h});
  const TensorId wv = graph.weight("wv", {h, h});
  const TensorId wo = graph.weight("wo", {h, h});
  const TensorId w1 = graph.weight("w1", {h, f});
  const TensorId w2 = graph.weight("w2", {f, h});

  ORVIK_TRY_ASSIGN(norm1, graph.layer_norm("norm1", input, layer_norm_epsilon));
  ORVIK_TRY_ASSIGN(q, graph.matmul("q", norm1, wq));
  ORVIK_TRY_ASSIGN(k, graph.matmul("k", norm1, wk));
  ORVIK_TRY_ASSIGN(v, graph.matmul("v", norm1, wv));
  ORVIK_TRY_ASSIGN(k_transpose, graph.transpose("k_transpose", k, {1, 0}));
  ORVIK_TRY_ASSIGN(scores, graph.matmul("attention_scores", q, k_transpose));
  ORVIK_TRY_ASSIGN(probabilities, graph.softmax("attention_softmax", scores, 1));
  ORVIK_TRY_ASSIGN(context, graph.matmul("attention_context", probabilities, v));
  ORVIK_TRY_ASSIGN(projection, graph.matmul("attention_projection", context, wo));
  ORVIK_TRY_ASSIGN(residual, graph.add("attention_residual", input, projection));
  ORVIK_TRY_ASSIGN(norm2, graph.layer_norm("norm2", residual, layer_norm_epsilon));
  ORVIK_TRY_ASSIGN(up, graph.matmul("ffn_up", norm2, w1));
  ORVIK_TRY_ASSIGN(activated, graph.gelu("ffn_gelu", up));
  ORVIK_TRY_ASSIGN(down, graph.matmul("ffn_down", activated, w2));
  ORVIK_TRY_ASSIGN(result, graph.add("ffn_residual", residual, down));
  graph.mark_output(result);
  return graph;
}

#undef ORVIK_TRY_ASSIGN

std::ostream& operator<<(std::ostream& out, const EncoderConfig& config) {
  return out << "EncoderConfig { sequence: " << config.sequence << ", hidden: " << config.hidden
             << ", heads: " << config.heads << ", feed_forward: " << config.feed_forward << " }";
}

} // namespace orvik_compiler
