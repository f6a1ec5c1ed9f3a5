// Stacks of encoder layers built through the graph builder.

#include "encoder_stack.hpp"

#include <string>

namespace orvik_compiler::testing {
namespace {

constexpr float layer_norm_epsilon = 1e-5F;

/// Appends one encoder layer reading `input` and returns its result. The dimension check of
/// `encoder_stack` makes every builder call succeed, so `value()` never throws here.
TensorId append_layer(Graph& graph, EncoderConfig config, TensorId input,
                      const std::string& prefix) {
  const std::uint64_t h = config.hidden;
  const std::uint64_t f = config.feed_forward;
  const TensorId wq = graph.weight(prefix + "wq", {h, h});
  const TensorId wk = graph.weight(prefix + "wk", {h, h});
  const TensorId wv = graph.weight(prefix + "wv", {h, h});
  const TensorId wo = graph.weight(prefix + "wo", {h, h});
  const TensorId w1 = graph.weight(prefix + "w1", {h, f});
  const TensorId w2 = graph.weight(prefix + "w2", {f, h});

  const TensorId norm1 = graph.layer_norm(prefix + "norm1", input, layer_norm_epsilon).value();
  const TensorId q = graph.matmul(prefix + "q", norm1, wq).value();
  const TensorId k = graph.matmul(prefix + "k", norm1, wk).value();
  const TensorId v = graph.matmul(prefix + "v", norm1, wv).value();
  const TensorId k_transpose = graph.transpose(prefix + "k_transpose", k, {1, 0}).value();
  const TensorId scores = graph.matmul(prefix + "attention_scores", q, k_transpose).value();
  const TensorId probabilities = graph.softmax(prefix + "attention_softmax", scores, 1).value();
  const TensorId context = graph.matmul(prefix + "attention_context", probabilities, v).value();
  const TensorId projection = graph.matmul(prefix + "attention_projection", context, wo).value();
  const TensorId residual = graph.add(prefix + "attention_residual", input, projection).value();
  const TensorId norm2 = graph.layer_norm(prefix + "norm2", residual, layer_norm_epsilon).value();
  const TensorId up = graph.matmul(prefix + "ffn_up", norm2, w1).value();
  const TensorId activated = graph.gelu(prefix + "ffn_gelu", up).value();
  const TensorId down = graph.matmul(prefix + "ffn_down", activated, w2).value();
  return graph.add(prefix + "ffn_residual", residual, down).value();
}

} // namespace

Result<Graph> encoder_stack(EncoderConfig config, std::size_t layers) {
  if (layers == 0 || config.sequence == 0 || config.hidden == 0 || config.heads == 0 ||
      config.hidden % config.heads != 0) {
    return CompileError::graph("invalid encoder dimensions");
  }
  Graph graph;
  TensorId activation = graph.input("input", {config.sequence, config.hidden});
  for (std::size_t layer = 0; layer < layers; ++layer) {
    activation = append_layer(graph, config, activation, "layer" + std::to_string(layer) + ".");
  }
  graph.mark_output(activation);
  return graph;
}

} // namespace orvik_compiler::testing
