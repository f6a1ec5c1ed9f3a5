// Lowering: the kernel fields of every command, the transfers of operands read more than once,
// and transfers of shares no tile can hold.

#include "compiler/lower_operations.hpp"
#include "test_support.hpp"
#include "testing/generated_graphs.hpp"

#include <algorithm>
#include <numeric>
#include <random>
#include <set>
#include <utility>

namespace orvik_compiler {
namespace {

using testing::expect_error;
using testing::expect_value;

Tensor tensor(std::vector<std::uint64_t> shape) {
  return Tensor{TensorId{5}, "t", DType::F32, std::move(shape), TensorKind::Input, {}};
}

template <std::size_t... Index>
std::vector<OpKind> every_kind(std::index_sequence<Index...>) {
  return {OpKind{OpKind::Variant{std::in_place_index<Index>}}...};
}

TEST_CASE("kernels of 96 elements or more use six workers", "[lowering]") {
  CHECK(worker_count(tensor({95})) == 1);
  CHECK(worker_count(tensor({96})) == 6);
  CHECK(worker_count(tensor({})) == 1);
}

TEST_CASE("every operation kind has its own kernel name, which reads back as that kind",
          "[lowering]") {
  const std::vector<OpKind> kinds =
      every_kind(std::make_index_sequence<std::variant_size_v<OpKind::Variant>>());
  std::set<std::string_view> names;
  for (const OpKind& kind : kinds) {
    const std::string_view name = operation_name(kind);
    INFO(name);
    CHECK_FALSE(name.empty());
    names.insert(name);
    const std::optional<OpKind> read_back = operation_kind(name);
    REQUIRE(read_back.has_value());
    CHECK(read_back->value.index() == kind.value.index());
  }
  CHECK(names.size() == kinds.size());
  // The kind's parameters never enter the name.
  CHECK(operation_name(OpKind{OpKind::Softmax{7}}) == operation_name(OpKind{OpKind::Softmax{0}}));
  for (const std::string_view unknown : {"", "MatMul", "softmax ", "layernorm"}) {
    CHECK_FALSE(operation_kind(unknown).has_value());
  }
}

TEST_CASE("each kind has the kernel name of its builder method", "[lowering]") {
  // Every kind at its parameters' defaults, as a kernel name reads back.
  struct Case {
    OpKind kind;
    std::string_view name;
  };
  const std::vector<Case> cases{
      // The original eight, whose names compiled schedules already carry.
      {OpKind::MatMul{}, "matmul"},
      {OpKind::Add{}, "add"},
      {OpKind::Mul{}, "mul"},
      {OpKind::Reshape{}, "reshape"},
      {OpKind::Transpose{}, "transpose"},
      {OpKind::LayerNorm{}, "layer_norm"},
      {OpKind::Softmax{}, "softmax"},
      {OpKind::Gelu{}, "gelu"},
      {OpKind::BatchMatMul{}, "batch_matmul"},
      {OpKind::Sub{}, "sub"},
      {OpKind::Div{}, "div"},
      {OpKind::Maximum{}, "maximum"},
      {OpKind::Minimum{}, "minimum"},
      {OpKind::Pow{}, "pow"},
      {OpKind::Erf{}, "erf"},
      {OpKind::Tanh{}, "tanh"},
      {OpKind::Exp{}, "exp"},
      {OpKind::Log{}, "log"},
      {OpKind::Sqrt{}, "sqrt"},
      {OpKind::Reciprocal{}, "reciprocal"},
      {OpKind::Neg{}, "neg"},
      {OpKind::Abs{}, "abs"},
      {OpKind::Relu{}, "relu"},
      {OpKind::Sigmoid{}, "sigmoid"},
      {OpKind::Broadcast{}, "broadcast"},
      {OpKind::Slice{}, "slice"},
      {OpKind::Concat{}, "concat"},
      {OpKind::Gather{}, "gather"},
      {OpKind::ReduceSum{}, "reduce_sum"},
      {OpKind::ReduceMean{}, "reduce_mean"},
      {OpKind::ReduceMax{}, "reduce_max"},
      {OpKind::Cast{}, "cast"},
  };
  REQUIRE(cases.size() == std::variant_size_v<OpKind::Variant>);
  for (const Case& c : cases) {
    INFO(c.name);
    CHECK(operation_name(c.kind) == c.name);
    CHECK(operation_kind(c.name) == c.kind);
  }
  CHECK(operation_name(OpKind{OpKind::Slice{1, 2, 8, 3}}) == "slice");
  CHECK(operation_name(OpKind{OpKind::Cast{DType::I32}}) == "cast");
}

TEST_CASE("an operand read more than once moves once", "[lowering]") {
  // x sits on tile 0 alone and every output on three tiles: each missing share of x is sent
  // once, at x's first mention, however often the op reads x.
  Graph graph;
  const TensorId x = graph.input("x", {2, 4, 4});
  const TensorId w = graph.input("w", {2, 4, 4});
  const TensorId product = expect_value(graph.mul("product", x, x));
  const TensorId batched = expect_value(graph.batch_matmul("batched", x, x));
  const TensorId joined = expect_value(graph.concat("joined", {x, w, x}, 0));
  graph.mark_output(product);
  graph.mark_output(batched);
  graph.mark_output(joined);
  const std::vector<std::uint16_t> three_tiles{0, 1, 2};
  const std::vector<Layout> layouts{Layout{x, {0}, Sharding::Heads, 16},
                                    Layout{w, {5}, Sharding::Heads, 16},
                                    Layout{product, three_tiles, Sharding::Heads, 16},
                                    Layout{batched, three_tiles, Sharding::Heads, 16},
                                    Layout{joined, three_tiles, Sharding::Heads, 16}};
  const std::vector<Transfer> x_once{Transfer{0, 1, x, 128}, Transfer{0, 2, x, 128}};
  CHECK(expect_value(input_transfers(graph, graph.ops[0], layouts)) == x_once);
  CHECK(expect_value(input_transfers(graph, graph.ops[1], layouts)) == x_once);
  // Another operand between the two mentions keeps its place in operand order.
  CHECK(expect_value(input_transfers(graph, graph.ops[2], layouts)) ==
        std::vector<Transfer>{Transfer{0, 1, x, 128}, Transfer{0, 2, x, 128},
                              Transfer{5, 0, w, 128}, Transfer{5, 1, w, 128},
                              Transfer{5, 2, w, 128}});
  // The exchange check accepts every op's transfers, and each op keeps its exchange.
  const std::vector<Phase> phases = expect_value(lower_operations(graph, layouts));
  CHECK(phases.size() == 2 * graph.ops.size());
}

TEST_CASE("compiled kernel commands are named after the builder call that made their op",
          "[lowering]") {
  // Every output tensor is named after the kernel its op must run, so each command's name is
  // checked against the builder method that created the op.
  Graph graph;
  const TensorId x = graph.input("x", {8, 16});
  const TensorId w = graph.weight("w", {16, 8});
  const TensorId matmul = expect_value(graph.matmul("matmul", x, w));
  const TensorId add = expect_value(graph.add("add", matmul, matmul));
  const TensorId mul = expect_value(graph.mul("mul", add, matmul));
  const TensorId reshape = expect_value(graph.reshape("reshape", mul, {4, 16}));
  const TensorId transpose = expect_value(graph.transpose("transpose", reshape, {1, 0}));
  const TensorId layer_norm = expect_value(graph.layer_norm("layer_norm", transpose, 1e-5F));
  const TensorId softmax = expect_value(graph.softmax("softmax", layer_norm, 1));
  graph.mark_output(expect_value(graph.gelu("gelu", softmax)));
  const CompilerOptions options{4, 0x52000, 0xE0000};
  const Schedule schedule = expect_value(compile(graph, options));
  std::size_t compute_phases = 0;
  for (const Phase& phase : schedule.phases) {
    const auto* compute = std::get_if<Phase::Compute>(&phase.value);
    if (compute == nullptr) {
      continue;
    }
    ++compute_phases;
    const Tensor& output = graph.tensors[graph.ops[compute->op.index].output.index];
    REQUIRE_FALSE(compute->commands.empty());
    for (const KernelCommand& command : compute->commands) {
      CHECK(command.specialization.operation == output.name);
      CHECK(command.specialization.worker_count == worker_count(output));
    }
  }
  CHECK(compute_phases == graph.ops.size());
}

TEST_CASE("a share too large for 32 bits cannot be sent", "[lowering]") {
  // x takes 8 GiB, half of it on tile 3, which y's first tile needs: the transfer's byte count
  // cannot be written, which is the planner's own data-limit error on the input's first tile.
  Graph graph;
  const TensorId x = graph.input("x", {std::uint64_t{1} << 31U});
  const TensorId y = expect_value(graph.gelu("y", x));
  graph.mark_output(y);
  const std::vector<Layout> halves{Layout{x, {3, 5}, Sharding::Replicated, 16},
                                   Layout{y, {4, 6}, Sharding::Replicated, 16}};
  CHECK(expect_error(input_transfers(graph, graph.ops[0], halves)) ==
        CompileError::memory("tile 3 exceeds data limit allocating x"));
  CHECK(expect_error(lower_operations(graph, halves)) ==
        CompileError::memory("tile 3 exceeds data limit allocating x"));
  // In thirds every share fits 32 bits and moves; position 0 is in place already.
  const std::vector<Layout> thirds{Layout{x, {3, 5, 7}, Sharding::Replicated, 16},
                                   Layout{y, {3, 4}, Sharding::Replicated, 16}};
  CHECK(expect_value(input_transfers(graph, graph.ops[0], thirds)) ==
        std::vector<Transfer>{Transfer{5, 4, x, 2863311531U}});
}

TEST_CASE("lowering sizes every list it makes exactly and gathers its phases' lifetimes",
          "[lowering]") {
  // The schedule keeps these lists, so each is made at its final length: the phase count is
  // known before the first phase and each exchange holds exactly its op's transfers. Compiled
  // layouts on several tile counts, and layouts of distinct tiles in any order.
  std::mt19937_64 rng(11);
  for (std::uint64_t seed = 1; seed <= 6; ++seed) {
    const Graph graph = testing::generated_graph(seed, 120, 64);
    std::vector<std::vector<Layout>> layout_sets;
    for (const std::uint16_t tile_count : {std::uint16_t{1}, std::uint16_t{7}, std::uint16_t{64}}) {
      std::vector<Layout> layouts;
      for (const Tensor& tensor : graph.tensors) {
        layouts.push_back(choose_layout(tensor, tile_count));
      }
      layout_sets.push_back(std::move(layouts));
    }
    std::vector<Layout> scattered;
    std::vector<std::uint16_t> all_tiles(12);
    std::iota(all_tiles.begin(), all_tiles.end(), std::uint16_t{0});
    for (const Tensor& tensor : graph.tensors) {
      std::shuffle(all_tiles.begin(), all_tiles.end(), rng);
      const auto count = std::uniform_int_distribution<std::size_t>(1, all_tiles.size())(rng);
      scattered.push_back(
          Layout{tensor.id,
                 {all_tiles.begin(), all_tiles.begin() + static_cast<std::ptrdiff_t>(count)},
                 Sharding::Rows,
                 16});
    }
    layout_sets.push_back(std::move(scattered));
    for (const std::vector<Layout>& layouts : layout_sets) {
      INFO("seed " << seed << ", first layout on " << layouts.front().tiles.size() << " tiles");
      const std::vector<Phase> phases = expect_value(lower_operations(graph, layouts));
      CHECK(phases.capacity() == phases.size());
      std::size_t exchanges = 0;
      std::size_t position = 0;
      for (const Op& op : graph.ops) {
        const std::vector<Transfer> transfers = expect_value(input_transfers(graph, op, layouts));
        CHECK(transfers.capacity() == transfers.size());
        if (transfers.empty()) {
          continue;
        }
        ++exchanges;
        // The exchange of this op comes before its compute phase.
        while (position < phases.size() &&
               !std::holds_alternative<Phase::Exchange>(phases[position].value)) {
          ++position;
        }
        REQUIRE(position < phases.size());
        const auto& exchange = std::get<Phase::Exchange>(phases[position].value);
        CHECK(exchange.transfers == transfers);
        CHECK(exchange.transfers.capacity() == transfers.size());
        CHECK(std::get<Phase::Compute>(phases[position + 1].value).op == op.id);
        ++position;
      }
      CHECK(phases.size() == graph.ops.size() + exchanges);
      // The lifetimes gathered while lowering are those found by walking the phases after.
      const LoweredOperations lowered =
          expect_value(lower_operations_with_lifetimes(graph, layouts));
      CHECK(lowered.phases == phases);
      CHECK(lowered.lifetimes == tensor_lifetimes(graph, phases));
    }
  }
}

} // namespace
} // namespace orvik_compiler
