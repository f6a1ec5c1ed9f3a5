// The lifetime of every tensor in phases, and when two lifetimes overlap.

#include "test_support.hpp"

#include "compiler/lifetimes.hpp"

namespace orvik_compiler {
namespace {

using testing::expect_value;

TEST_CASE("lifetimes are closed ranges that overlap when they share a phase", "[lifetimes]") {
  CHECK(lifetimes_overlap(1, 3, 3, 5));
  CHECK(lifetimes_overlap(3, 5, 1, 3));
  CHECK_FALSE(lifetimes_overlap(1, 3, 4, 6));
  CHECK_FALSE(lifetimes_overlap(4, 6, 1, 3));
  CHECK(lifetimes_overlap(0, 0, 0, 0));
  CHECK(lifetimes_overlap(0, 10, 4, 4));
}

TEST_CASE("lifetimes run from the writing phase to the last reading phase", "[lifetimes]") {
  // x and w are inputs; y = x * w on more tiles than x, so an exchange moves x first; u is
  // never read; z = gelu(y) is the output.
  Graph graph;
  const TensorId x = graph.input("x", {4});
  const TensorId w = graph.input("w", {4});
  const TensorId unread = graph.input("unread", {4});
  const TensorId y = expect_value(graph.mul("y", x, w));
  const TensorId u = expect_value(graph.gelu("u", y));
  const TensorId z = expect_value(graph.gelu("z", y));
  graph.mark_output(z);
  const std::vector<Phase> phases{
      Phase{Phase::Exchange{{Transfer{0, 1, x, 16}}}},
      Phase{Phase::Compute{OpId{0}, {}}},
      Phase{Phase::Exchange{{Transfer{0, 1, y, 16}, Transfer{0, 2, y, 16}}}},
      Phase{Phase::Compute{OpId{1}, {}}},
      Phase{Phase::Compute{OpId{2}, {}}},
  };
  struct Case {
    const char* what;
    TensorId tensor;
    Lifetime expected;
  };
  const std::vector<Case> cases{
      {"an input moved by an exchange and read by a compute phase", x, {0, 1}},
      {"an input read by a compute phase only", w, {0, 1}},
      {"an input that nothing reads lives at phase 0", unread, {0, 0}},
      {"a value moved and read by two compute phases lives to the last", y, {1, 4}},
      {"a value written and never read lives at its phase alone", u, {3, 3}},
      {"an output lives until the phase count", z, {4, 5}},
  };
  const std::vector<Lifetime> lifetimes = tensor_lifetimes(graph, phases);
  REQUIRE(lifetimes.size() == graph.tensors.size());
  for (const Case& c : cases) {
    INFO(c.what);
    CHECK(lifetimes[c.tensor.index] == c.expected);
  }
}

TEST_CASE("ids that name nothing stop lifetimes with out_of_range", "[lifetimes]") {
  Graph graph;
  const TensorId x = graph.input("x", {4});
  graph.mark_output(expect_value(graph.gelu("y", x)));
  const auto lifetimes_with = [&graph](std::vector<Phase> phases) {
    return tensor_lifetimes(graph, phases);
  };
  CHECK_THROWS_AS(lifetimes_with({Phase{Phase::Compute{OpId{1}, {}}}}), std::out_of_range);
  CHECK_THROWS_AS(lifetimes_with({Phase{Phase::Exchange{{Transfer{0, 1, TensorId{2}, 16}}}}}),
                  std::out_of_range);
  graph.ops[0].inputs = {TensorId{7}};
  CHECK_THROWS_AS(lifetimes_with({Phase{Phase::Compute{OpId{0}, {}}}}), std::out_of_range);
  graph.outputs = {TensorId{9}};
  CHECK_THROWS_AS(lifetimes_with({}), std::out_of_range);
}

} // namespace
} // namespace orvik_compiler
