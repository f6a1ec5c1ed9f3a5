// Lowering: the kernel fields of every command, and transfers of shares no tile can hold.

#include "compiler/lower_operations.hpp"
#include "test_support.hpp"

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

} // namespace
} // namespace orvik_compiler
