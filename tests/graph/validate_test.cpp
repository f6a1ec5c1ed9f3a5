// Whole-graph validation: each test and the order in which they run.

#include "test_support.hpp"

namespace orvik_compiler {
namespace {

using testing::expect_error;
using testing::expect_value;

Graph small_graph() {
  Graph graph;
  const TensorId x = graph.input("x", {4, 8});
  const TensorId w = graph.weight("w", {8, 2});
  const TensorId y = expect_value(graph.matmul("y", x, w));
  graph.mark_output(y);
  return graph;
}

TEST_CASE("graphs built through the builder with outputs validate", "[validate]") {
  CHECK(small_graph().validate().has_value());
  Graph single;
  single.mark_output(single.input("x", {4, 8}));
  CHECK(single.validate().has_value());
}

TEST_CASE("each validation failure names its record", "[validate]") {
  struct Case {
    const char* what;
    void (*corrupt)(Graph&);
    const char* message;
  };
  const std::vector<Case> cases{
      {"no outputs", [](Graph& g) { g.outputs.clear(); }, "graph has no outputs"},
      {"empty shape", [](Graph& g) { g.tensors[0].shape.clear(); }, "invalid tensor x"},
      {"zero extent",
       [](Graph& g) {
         g.tensors[1].shape = {3, 0};
       },
       "invalid tensor w"},
      {"tensor at the wrong index", [](Graph& g) { g.tensors[1].id = TensorId{0}; },
       "invalid tensor w"},
      {"element type of neither kind",
       [](Graph& g) { g.tensors[1].dtype = DType(static_cast<DType::Value>(7)); },
       "invalid tensor w"},
      {"op at the wrong index", [](Graph& g) { g.ops[0].id = OpId{1}; }, "invalid op y"},
      {"input outside the graph", [](Graph& g) { g.ops[0].inputs.push_back(TensorId{3}); },
       "invalid op y"},
      {"output outside the graph", [](Graph& g) { g.ops[0].output = TensorId{3}; }, "invalid op y"},
      {"output without producer", [](Graph& g) { g.tensors[2].producer.reset(); }, "invalid op y"},
      {"output produced by another op", [](Graph& g) { g.tensors[2].producer = OpId{5}; },
       "invalid op y"},
      {"a bad tensor is reported before a bad op and missing outputs",
       [](Graph& g) {
         g.tensors[0].shape = {};
         g.ops[0].id = OpId{9};
         g.outputs.clear();
       },
       "invalid tensor x"},
      {"a bad op is reported before missing outputs",
       [](Graph& g) {
         g.ops[0].id = OpId{9};
         g.outputs.clear();
       },
       "invalid op y"},
  };
  for (const Case& c : cases) {
    INFO(c.what);
    Graph graph = small_graph();
    c.corrupt(graph);
    CHECK(expect_error(graph.validate()) == CompileError::graph(c.message));
  }
  CHECK(expect_error(Graph{}.validate()) == CompileError::graph("graph has no outputs"));
}

/// x -> a -> b, built through the builder.
Graph chain() {
  Graph graph;
  const TensorId x = graph.input("x", {4, 8});
  const TensorId a = expect_value(graph.gelu("a", x));
  graph.mark_output(expect_value(graph.gelu("b", a)));
  return graph;
}

TEST_CASE("operations must be stored in an order of evaluation", "[validate]") {
  struct Case {
    const char* what;
    void (*corrupt)(Graph&);
    const char* message;
  };
  const std::vector<Case> cases{
      {"the two ops swapped, ids fixed up",
       [](Graph& g) {
         std::swap(g.ops[0], g.ops[1]);
         g.ops[0].id = OpId{0};
         g.ops[1].id = OpId{1};
         g.tensors[1].producer = OpId{1};
         g.tensors[2].producer = OpId{0};
       },
       "invalid op b"},
      {"an op reading its own output", [](Graph& g) { g.ops[0].inputs = {TensorId{1}}; },
       "invalid op a"},
      {"an op reading a later op's output", [](Graph& g) { g.ops[0].inputs = {TensorId{2}}; },
       "invalid op a"},
  };
  for (const Case& c : cases) {
    INFO(c.what);
    Graph graph = chain();
    c.corrupt(graph);
    CHECK(expect_error(graph.validate()) == CompileError::graph(c.message));
    // Compiling such a graph would read a value before the phase that writes it.
    CHECK(expect_error(compile(graph, CompilerOptions{})) == CompileError::graph(c.message));
  }
}

TEST_CASE("validation accepts what it does not test", "[validate]") {
  Graph graph = small_graph();
  graph.input("z", {2});
  graph.tensors[3].producer = OpId{0}; // an input that nothing reads claiming a producer
  graph.tensors[0].name.clear();
  graph.outputs.push_back(graph.outputs[0]);
  CHECK(graph.validate().has_value());
}

} // namespace
} // namespace orvik_compiler
