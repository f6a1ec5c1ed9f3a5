// The README's first program: builds a small graph, compiles it for the default target and prints
// each tile's peak and the schedule's debug text.

#include <orvik_compiler/orvik_compiler.hpp>

#include <iostream>

int main() {
  using namespace orvik_compiler;

  Graph graph;
  const TensorId x = graph.input("x", {4, 8});
  const TensorId w = graph.weight("w", {8, 512});
  const Result<TensorId> y = graph.matmul("y", x, w);
  if (!y) {
    std::cerr << y.error() << '\n'; // e.g. Graph("y: incompatible matmul [4, 8] x [9, 512]")
    return 1;
  }
  graph.mark_output(*y);

  const Result<Schedule> schedule = compile(graph, CompilerOptions{}); // 64 tiles, 0x52000..0xE0000
  if (!schedule) {
    std::cerr << schedule.error() << '\n';
    return 1;
  }
  for (const auto& [tile, peak] : schedule->peak_sram) {
    std::cout << "tile " << tile << ": " << peak << " bytes\n";
  }
  std::cout << *schedule << '\n'; // the structural debug text of the whole schedule
}
