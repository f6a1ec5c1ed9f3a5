// Imports the ONNX model named on the command line and compiles it through the installed
// package.

#include <orvik_compiler/onnx.hpp>
#include <orvik_compiler/orvik_compiler.hpp>

#include <iostream>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: onnx_consumer MODEL.onnx\n";
    return 2;
  }
  const auto model = orvik_compiler::import_onnx(argv[1], {});
  if (!model) {
    std::cerr << model.error() << '\n';
    return 1;
  }
  const auto schedule = orvik_compiler::compile(model->graph, orvik_compiler::CompilerOptions{});
  if (!schedule) {
    std::cerr << schedule.error() << '\n';
    return 1;
  }
  std::cout << "onnx consumer compiled " << model->graph.ops.size() << " operations into "
            << schedule->phases.size() << " phases\n";
  return 0;
}
