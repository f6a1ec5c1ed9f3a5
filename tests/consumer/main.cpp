// Compiles the built-in encoder through the installed package.

#include <orvik_compiler/orvik_compiler.hpp>

#include <iostream>

int main() {
  const auto graph = orvik_compiler::encoder_graph(orvik_compiler::EncoderConfig{});
  if (!graph) {
    std::cerr << graph.error() << '\n';
    return 1;
  }
  const auto schedule = orvik_compiler::compile(*graph, orvik_compiler::CompilerOptions{});
  if (!schedule || schedule->phases.size() != 17) {
    std::cerr << "unexpected compile result\n";
    return 1;
  }
  std::cout << "consumer compiled " << schedule->phases.size() << " phases\n";
  return 0;
}
