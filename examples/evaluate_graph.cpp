// Builds a small graph, evaluates it on the host and prints its output.

#include <orvik_compiler/orvik_compiler.hpp>

#include <iostream>

int main() {
  using namespace orvik_compiler;

  Graph graph;
  const TensorId x = graph.input("x", {2, 3});
  const TensorId w = graph.weight("w", {3, 2});
  const Result<TensorId> y = graph.matmul("y", x, w);
  if (!y) {
    std::cerr << y.error() << '\n';
    return 1;
  }
  graph.mark_output(*y);

  const std::vector<float> x_values{1, 2, 3, 4, 5, 6}; // row-major, read in place
  const std::vector<float> w_values{1, 0, 0, 1, 1, 1};
  const TensorValue values[] = {{x, x_values}, {w, w_values}};
  const Result<std::vector<std::vector<float>>> outputs = evaluate(graph, values);
  if (!outputs) {
    std::cerr << outputs.error() << '\n'; // e.g. Graph("no value for tensor w")
    return 1;
  }
  std::cout << "y =";
  for (const float value : outputs->at(0)) {
    std::cout << ' ' << value;
  }
  std::cout << '\n'; // y = 4 5 10 11
}
