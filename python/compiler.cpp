// The compiler in Python: `compile` and `verify_schedule`, both without the GIL while they run.

#include "bindings.hpp"

namespace orvik_python {

namespace oc = orvik_compiler;
using namespace pybind11::literals;

void bind_compiler(py::module_& module) {
  // The graph and the options arrive as copies made under the GIL (see bindings.hpp); a schedule
  // cannot change, so it is read in place.
  module.def(
      "compile",
      [](oc::Graph graph, oc::CompilerOptions options) {
        const py::gil_scoped_release release;
        return oc::compile(graph, options).value();
      },
      "graph"_a, "options"_a = oc::CompilerOptions{},
      "Lowers a graph to a complete Schedule. Raises CompileError: kind \"Graph\" for an "
      "invalid graph or options (\"invalid compiler options\"), \"Memory\" when the data "
      "window is too small. Equal inputs give equal schedules. Releases the GIL.");
  module.def(
      "verify_schedule",
      [](oc::Graph graph, oc::CompilerOptions options, const oc::Schedule& schedule) {
        const py::gil_scoped_release release;
        oc::verify_schedule(graph, options, schedule).value();
      },
      "graph"_a, "options"_a, "schedule"_a,
      "Checks every promise of a schedule against its graph and options, whoever made it; "
      "returns None when it is sound and raises CompileError (kind \"Graph\") naming the first "
      "broken rule otherwise. Releases the GIL.");
}

} // namespace orvik_python
