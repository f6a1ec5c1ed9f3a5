// The encoder graph and its compiled schedule under the default options.

#include "test_support.hpp"
#include "testing/generated_graphs.hpp"

namespace orvik_compiler {
namespace {

using testing::expect_error;
using testing::expect_value;

TEST_CASE("the default encoder graph has the step table's tensors and ops", "[encoder]") {
  CHECK(EncoderConfig{} == EncoderConfig{32, 64, 4, 256});
  const Graph graph = expect_value(encoder_graph(EncoderConfig{}));
  REQUIRE(graph.tensors.size() == 22);
  REQUIRE(graph.ops.size() == 15);
  const std::vector<std::string> tensor_names{"input",
                                              "wq",
                                              "wk",
                                              "wv",
                                              "wo",
                                              "w1",
                                              "w2",
                                              "norm1",
                                              "q",
                                              "k",
                                              "v",
                                              "k_transpose",
                                              "attention_scores",
                                              "attention_softmax",
                                              "attention_context",
                                              "attention_projection",
                                              "attention_residual",
                                              "norm2",
                                              "ffn_up",
                                              "ffn_gelu",
                                              "ffn_down",
                                              "ffn_residual"};
  for (std::size_t i = 0; i < graph.tensors.size(); ++i) {
    CHECK(graph.tensors[i].name == tensor_names[i]);
    CHECK(graph.tensors[i].shape.size() == 2);
  }
  for (std::size_t j = 0; j < graph.ops.size(); ++j) {
    CHECK(graph.ops[j].name == tensor_names[j + 7]);
    CHECK(graph.ops[j].output == TensorId{j + 7});
  }
  CHECK(graph.outputs == std::vector<TensorId>{TensorId{21}});
  CHECK(graph.tensors[21].kind == TensorKind::Output);
  CHECK(graph.tensors[21].shape == std::vector<std::uint64_t>{32, 64});
  CHECK(graph.tensors[0].kind == TensorKind::Input);
  CHECK(graph.tensors[6].kind == TensorKind::Weight);
  CHECK(graph.tensors[6].shape == std::vector<std::uint64_t>{256, 64});
  CHECK(graph.tensors[12].shape == std::vector<std::uint64_t>{32, 32});
  CHECK(graph.ops[0].kind == OpKind{OpKind::LayerNorm{1e-5F}});
  CHECK(graph.ops[4].kind == OpKind{OpKind::Transpose{{1, 0}}});
  CHECK(graph.ops[6].kind == OpKind{OpKind::Softmax{1}});
  // Both residuals add the un-normalised value as their left operand.
  CHECK(graph.ops[9].inputs == std::vector<TensorId>{TensorId{0}, TensorId{15}});
  CHECK(graph.ops[14].inputs == std::vector<TensorId>{TensorId{16}, TensorId{20}});
  CHECK(graph.validate().has_value());
}

TEST_CASE("encoder dimensions are checked before any builder call", "[encoder]") {
  const CompileError invalid = CompileError::graph("invalid encoder dimensions");
  CHECK(expect_error(encoder_graph({32, 64, 3, 256})) == invalid);
  CHECK(expect_error(encoder_graph({32, 0, 4, 256})) == invalid);
  CHECK(expect_error(encoder_graph({0, 64, 4, 256})) == invalid);
  CHECK(expect_error(encoder_graph({32, 64, 0, 256})) == invalid);
  CHECK(encoder_graph({32, 64, 64, 256}).has_value());
  CHECK(encoder_graph({32, 64, 1, 256}) == encoder_graph({32, 64, 4, 256}));
  const Graph single = expect_value(encoder_graph({1, 8, 2, 16}));
  CHECK(single.tensors[12].shape == std::vector<std::uint64_t>{1, 1});
  // A zero feed-forward width builds, and validation rejects it at compile time.
  const Graph empty_ffn = expect_value(encoder_graph({4, 8, 2, 0}));
  CHECK(empty_ffn.tensors[5].shape == std::vector<std::uint64_t>{8, 0});
  CHECK(expect_error(compile(empty_ffn, CompilerOptions{})) ==
        CompileError::graph("invalid tensor w1"));
}

TEST_CASE("an encoder configuration prints its four dimensions in declaration order",
          "[encoder][debug]") {
  CHECK(testing::debug(EncoderConfig{}) ==
        "EncoderConfig { sequence: 32, hidden: 64, heads: 4, feed_forward: 256 }");
  // Distinct values catch a swapped field; the largest shows the full unsigned decimal.
  CHECK(testing::debug(EncoderConfig{1, 0, 7, std::numeric_limits<std::uint64_t>::max()}) ==
        "EncoderConfig { sequence: 1, hidden: 0, heads: 7, feed_forward: 18446744073709551615 }");
}

TEST_CASE("a layer appended to another graph is prefixed, or leaves the graph unchanged",
          "[encoder]") {
  Graph graph;
  const TensorId input = graph.input("x", {32, 64});
  const TensorId result = expect_value(append_encoder_layer(graph, EncoderConfig{}, input, "l."));
  CHECK(graph.tensors[result.index].name == "l.ffn_residual");
  CHECK(graph.tensors.size() == 22);
  CHECK(graph.outputs.empty());

  // The input's width disagrees with the weights: the first matmul fails half-way through.
  const Graph before = graph;
  const TensorId narrow = before.tensors[result.index].id;
  CHECK(expect_error(append_encoder_layer(graph, EncoderConfig{32, 128, 4, 256}, narrow, "m.")) ==
        CompileError::graph("m.q: incompatible matmul [32, 64] x [128, 128]"));
  CHECK(graph == before);
}

TEST_CASE("the default encoder compiles to 17 phases and 360 allocations", "[encoder][compile]") {
  const Graph graph = expect_value(encoder_graph(EncoderConfig{}));
  const Schedule schedule = expect_value(compile(graph, CompilerOptions{}));
  REQUIRE(schedule.phases.size() == 17);
  CHECK(schedule.allocations.size() == 360);
  CHECK(testing::broken_rule(graph, CompilerOptions{}, schedule).empty());

  std::vector<Transfer> softmax_moves;
  for (std::uint16_t tile = 4; tile <= 7; ++tile) {
    softmax_moves.push_back(
        Transfer{static_cast<std::uint16_t>(tile - 4), tile, TensorId{13}, 1024});
  }
  CHECK(schedule.phases[7] == Phase{Phase::Exchange{softmax_moves}});
  std::vector<Transfer> norm2_moves;
  for (std::uint16_t tile = 8; tile <= 31; ++tile) {
    norm2_moves.push_back(Transfer{static_cast<std::uint16_t>(tile % 8), tile, TensorId{17}, 1024});
  }
  CHECK(schedule.phases[12] == Phase{Phase::Exchange{norm2_moves}});
  for (std::size_t p = 0; p < schedule.phases.size(); ++p) {
    const auto* compute = std::get_if<Phase::Compute>(&schedule.phases[p].value);
    CHECK((compute == nullptr) == (p == 7 || p == 12));
    if (compute != nullptr) {
      for (const KernelCommand& command : compute->commands) {
        CHECK(command.specialization.worker_count == 6);
      }
    }
  }
  REQUIRE(schedule.peak_sram.size() == 64);
  for (const auto& [tile, peak] : schedule.peak_sram) {
    const std::uint32_t expected = tile < 8    ? 0x2400
                                   : tile < 16 ? 0x1800
                                   : tile < 32 ? 0xC00
                                               : 0x800;
    CHECK(peak == expected);
  }
}

} // namespace
} // namespace orvik_compiler
