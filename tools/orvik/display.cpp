// Names and small helpers shared by the views.

#include "display.hpp"

#include <sstream>

namespace orvik_tool {

std::string display_name(std::string_view name) {
  std::ostringstream escaped;
  orvik_compiler::write_escaped(escaped, name);
  std::string text = escaped.str();
  if (text.size() == name.size() + 2 && std::string_view(text).substr(1, name.size()) == name) {
    return std::string(name);
  }
  return text;
}

const orvik_compiler::Op* phase_operation(const orvik_compiler::Graph& graph,
                                          const orvik_compiler::Schedule& schedule,
                                          std::size_t phase) {
  for (std::size_t p = phase; p < schedule.phases.size(); ++p) {
    if (const auto* compute =
            std::get_if<orvik_compiler::Phase::Compute>(&schedule.phases[p].value)) {
      return compute->op.index < graph.ops.size() ? &graph.ops[compute->op.index] : nullptr;
    }
  }
  return nullptr;
}

std::string hex(std::uint64_t value) {
  std::ostringstream out;
  out << "0x" << std::hex << std::uppercase << value;
  return out.str();
}

} // namespace orvik_tool
