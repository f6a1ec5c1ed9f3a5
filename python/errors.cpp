// The one place where the library's failures become Python exceptions. A `CompileError` value
// becomes `orvik_compiler.CompileError`, with the error's kind and message; the fatal stops,
// std::out_of_range and std::overflow_error, become IndexError and OverflowError through
// pybind11's own translation.

#include "bindings.hpp"

#include <exception>

namespace orvik_python {
namespace {

// The exception type. A translator is a plain function, so it reaches the type through this
// handle, which holds a reference that is never given back: the type outlives every call.
py::handle compile_error_type;

// `Result::value()` throws BadResultAccess when the result holds an error, so every binding
// that unwraps a result raises through here.
void translate(std::exception_ptr raised) {
  try {
    if (raised) {
      std::rethrow_exception(raised);
    }
  } catch (const orvik_compiler::BadResultAccess& failure) {
    const orvik_compiler::CompileError& error = failure.error();
    const py::object instance = compile_error_type(error.message);
    instance.attr("kind") = orvik_compiler::kind_name(error.kind);
    PyErr_SetObject(compile_error_type.ptr(), instance.ptr());
  }
}

} // namespace

void bind_errors(py::module_& module) {
  py::exception<orvik_compiler::BadResultAccess> type(module, "CompileError", PyExc_Exception);
  type.doc() = "A failed call of the library. ``kind`` is \"Graph\" for anything wrong with a "
               "graph or a request, \"Memory\" for a memory-planning failure; ``str()`` is the "
               "library's message.";
  compile_error_type = type.inc_ref();
  py::register_exception_translator(&translate);
}

void raise_compile_error(orvik_compiler::CompileError error) {
  throw orvik_compiler::BadResultAccess(error);
}

} // namespace orvik_python
