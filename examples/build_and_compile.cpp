// Builds a small graph, validates it, compiles it for the default target and prints a summary.

#include <orvik_compiler/orvik_compiler.hpp>

#include <iostream>

int main() {
  using namespace orvik_compiler;

  Graph graph;
  const TensorId x = graph.input("x", {4, 8});
  const TensorId w = graph.weight("w", {8, 512});
  const Result<TensorId> y = graph.matmul("y", x, w);
  if (!y) {
    std::cerr << "error: " << y.error() << '\n';
    return 1;
  }
  graph.mark_output(*y);

  if (const Result<void> valid = graph.validate(); !valid) {
    std::cerr << "error: " << valid.error() << '\n';
    return 1;
  }
  const Result<Schedule> schedule = compile(graph, CompilerOptions{});
  if (!schedule) {
    std::cerr << "error: " << schedule.error() << '\n';
    return 1;
  }
  std::cout << "phases: " << schedule->phases.size()
            << ", allocations: " << schedule->allocations.size() << '\n';
  for (const auto& [tile, peak] : schedule->peak_sram) {
    std::cout << "tile " << tile << " peak " << peak << " bytes\n";
  }
  std::cout << *schedule << '\n';
  return 0;
}
