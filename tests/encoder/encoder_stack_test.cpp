// Stacks of encoder layers: each layer is the encoder graph, chained to the one before.

#include "test_support.hpp"
#include "testing/encoder_stack.hpp"

#include <set>

namespace orvik_compiler {
namespace {

using testing::encoder_stack;
using testing::expect_error;
using testing::expect_value;

constexpr std::size_t tensors_per_layer = 21;
constexpr std::size_t ops_per_layer = 15;

/// The graph with every name blanked, so that graphs are compared by structure alone.
Graph without_names(Graph graph) {
  for (Tensor& tensor : graph.tensors) {
    tensor.name.clear();
  }
  for (Op& op : graph.ops) {
    op.name.clear();
  }
  return graph;
}

const Op& op_named(const Graph& graph, const std::string& name) {
  for (const Op& op : graph.ops) {
    if (op.name == name) {
      return op;
    }
  }
  FAIL("no op named " << name);
  throw std::logic_error("unreachable");
}

TEST_CASE("a stack of one layer is the encoder graph under prefixed names", "[stack]") {
  const EncoderConfig config{16, 32, 4, 64};
  const Graph layer = expect_value(encoder_graph(config));
  const Graph stack = expect_value(encoder_stack(config, 1));
  CHECK(without_names(stack) == without_names(layer));
  REQUIRE(stack.tensors.size() == layer.tensors.size());
  CHECK(stack.tensors[0].name == "input");
  for (std::size_t i = 1; i < stack.tensors.size(); ++i) {
    CHECK(stack.tensors[i].name == "layer0." + layer.tensors[i].name);
  }
}

TEST_CASE("each layer reads the previous layer's result through its own weights", "[stack]") {
  const std::size_t layers = 3;
  const Graph stack = expect_value(encoder_stack(EncoderConfig{}, layers));
  REQUIRE(stack.validate().has_value());
  REQUIRE(stack.tensors.size() == 1 + layers * tensors_per_layer);
  REQUIRE(stack.ops.size() == layers * ops_per_layer);
  REQUIRE(stack.outputs.size() == 1);
  CHECK(stack.tensors[stack.outputs[0].index].name == "layer2.ffn_residual");

  // Every layer's norm1 and attention residual read the layer's input: the stack's input for
  // layer 0, the previous layer's result for the others.
  TensorId previous{0};
  for (std::size_t layer = 0; layer < layers; ++layer) {
    const std::string prefix = "layer" + std::to_string(layer) + ".";
    CHECK(op_named(stack, prefix + "norm1").inputs == std::vector<TensorId>{previous});
    CHECK(op_named(stack, prefix + "attention_residual").inputs.front() == previous);
    previous = op_named(stack, prefix + "ffn_residual").output;
  }
  CHECK(previous == stack.outputs[0]);

  std::set<std::string> names;
  std::size_t weights = 0;
  for (const Tensor& tensor : stack.tensors) {
    names.insert(tensor.name);
    weights += tensor.kind == TensorKind::Weight ? 1 : 0;
  }
  CHECK(names.size() == stack.tensors.size());
  CHECK(weights == 6 * layers);
}

TEST_CASE("a stack needs a layer and the encoder's dimensions", "[stack]") {
  const CompileError invalid = CompileError::graph("invalid encoder dimensions");
  CHECK(expect_error(encoder_stack(EncoderConfig{}, 0)) ==
        CompileError::graph("an encoder stack needs at least one layer"));
  CHECK(expect_error(encoder_stack(EncoderConfig{32, 64, 5, 256}, 2)) == invalid);
  CHECK(expect_error(encoder_stack(EncoderConfig{0, 64, 4, 256}, 2)) == invalid);
}

} // namespace
} // namespace orvik_compiler
