// The Python extension module `orvik_compiler`.

#include "bindings.hpp"

PYBIND11_MODULE(orvik_compiler, module) {
  module.doc() = "An ahead-of-time compiler of float32 tensor graphs onto many-tile processors: "
                 "build a Graph, compile it to a Schedule, verify it, and evaluate graphs and "
                 "the encoder workload on the host with NumPy arrays, and import ONNX models.";
  orvik_python::bind_errors(module);
  orvik_python::bind_graph(module);
  orvik_python::bind_schedule(module);
  orvik_python::bind_compiler(module);
  orvik_python::bind_encoder(module);
  orvik_python::bind_evaluate(module);
  orvik_python::bind_onnx(module);
}
