// Stacks of encoder layers built through the graph builder.

#include "testing/encoder_stack.hpp"

#include <string>

namespace orvik_compiler::testing {

Result<Graph> encoder_stack(EncoderConfig config, std::size_t layers) {
  if (layers == 0) {
    return CompileError::graph("an encoder stack needs at least one layer");
  }
  Graph graph;
  TensorId activation = graph.input("input", {config.sequence, config.hidden});
  for (std::size_t layer = 0; layer < layers; ++layer) {
    Result<TensorId> result =
        append_encoder_layer(graph, config, activation, "layer" + std::to_string(layer) + ".");
    if (!result) {
      return result.error();
    }
    activation = *result;
  }
  graph.mark_output(activation);
  return graph;
}

} // namespace orvik_compiler::testing
