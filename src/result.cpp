// The error type's debug text and the exception of reading a value that is not there.

#include "orvik_compiler/result.hpp"

#include "orvik_compiler/debug_text.hpp"

#include <ostream>
#include <sstream>

namespace orvik_compiler {
namespace {

std::string debug_string(const CompileError& error) {
  std::ostringstream text;
  text << error;
  return text.str();
}

} // namespace

std::string_view kind_name(CompileError::Kind kind) {
  switch (kind) {
  case CompileError::Kind::Graph:
    return "Graph";
  case CompileError::Kind::Memory:
    return "Memory";
  }
  return "?";
}

std::ostream& operator<<(std::ostream& out, const CompileError& error) {
  out << kind_name(error.kind) << '(';
  return write_escaped(out, error.message) << ')';
}

BadResultAccess::BadResultAccess(const CompileError& error)
    : std::logic_error("result holds an error: " + debug_string(error)), error_(error) {}

} // namespace orvik_compiler
