// The encoder layer as a graph of builder calls.

#include "orvik_compiler/encoder.hpp"

#include "../debug_text/record.hpp"
#include "../result_try.hpp"
#include "invalid_encoder_dimensions.hpp"

#include <ostream>
#include <string>

namespace orvik_compiler {
namespace {

Result<TensorId> append_layer(Graph& graph, EncoderConfig config, TensorId input,
                              std::string_view prefix) {
  const auto named = [&](std::string_view name) { return std::string(prefix) + std::string(name); };
  const std::uint64_t h = config.hidden;
  const std::uint64_t f = config.feed_forward;
  const float epsilon = encoder_layer_norm_epsilon;
  const TensorId wq = graph.weight(named("wq"), {h, h});
  const TensorId wk = graph.weight(named("wk"), {h, h});
  const TensorId wv = graph.weight(named("wv"), {h, h});
  const TensorId wo = graph.weight(named("wo"), {h, h});
  const TensorId w1 = graph.weight(named("w1"), {h, f});
  const TensorId w2 = graph.weight(named("w2"), {f, h});

  ORVIK_TRY(norm1, graph.layer_norm(named("norm1"), input, epsilon));
  ORVIK_TRY(q, graph.matmul(named("q"), norm1, wq));
  ORVIK_TRY(k, graph.matmul(named("k"), norm1, wk));
  ORVIK_TRY(v, graph.matmul(named("v"), norm1, wv));
  ORVIK_TRY(k_transpose, graph.transpose(named("k_transpose"), k, {1, 0}));
  ORVIK_TRY(scores, graph.matmul(named("attention_scores"), q, k_transpose));
  ORVIK_TRY(probabilities, graph.softmax(named("attention_softmax"), scores, 1));
  ORVIK_TRY(context, graph.matmul(named("attention_context"), probabilities, v));
  ORVIK_TRY(projection, graph.matmul(named("attention_projection"), context, wo));
  ORVIK_TRY(residual, graph.add(named("attention_residual"), input, projection));
  ORVIK_TRY(norm2, graph.layer_norm(named("norm2"), residual, epsilon));
  ORVIK_TRY(up, graph.matmul(named("ffn_up"), norm2, w1));
  ORVIK_TRY(activated, graph.gelu(named("ffn_gelu"), up));
  ORVIK_TRY(down, graph.matmul(named("ffn_down"), activated, w2));
  return graph.add(named("ffn_residual"), residual, down);
}

} // namespace

Result<TensorId> append_encoder_layer(Graph& graph, EncoderConfig config, TensorId input,
                                      std::string_view prefix) {
  if (config.hidden == 0 || config.sequence == 0 || config.heads == 0 ||
      config.hidden % config.heads != 0) {
    return invalid_encoder_dimensions();
  }
  const std::size_t tensor_count = graph.tensors.size();
  const std::size_t op_count = graph.ops.size();
  Result<TensorId> result = append_layer(graph, config, input, prefix);
  if (!result) {
    graph.tensors.resize(tensor_count);
    graph.ops.resize(op_count);
  }
  return result;
}

Result<Graph> encoder_graph(EncoderConfig config) {
  Graph graph;
  const TensorId input = graph.input("input", {config.sequence, config.hidden});
  const Result<TensorId> result = append_encoder_layer(graph, config, input, "");
  if (!result) {
    return result.error();
  }
  graph.mark_output(*result);
  return graph;
}

std::ostream& operator<<(std::ostream& out, const EncoderConfig& config) {
  debug_text::Record(out, "EncoderConfig")
      .field("sequence", config.sequence)
      .field("hidden", config.hidden)
      .field("heads", config.heads)
      .field("feed_forward", config.feed_forward);
  return out;
}

} // namespace orvik_compiler
