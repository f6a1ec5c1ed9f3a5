#pragma once

// Names as the tool shows them, and helpers that the views share.

#include <orvik_compiler/graph.hpp>
#include <orvik_compiler/schedule.hpp>

#include <cstdint>
#include <string>
#include <string_view>

namespace orvik_tool {

/// A name as it is when all of it prints plainly, otherwise its escaped debug form in quotes,
/// so a name never breaks a line of a report or smuggles control characters into a file.
std::string display_name(std::string_view name);

/// The operation that a phase computes, or for an exchange the operation whose inputs it moves.
const orvik_compiler::Op* phase_operation(const orvik_compiler::Graph& graph,
                                          const orvik_compiler::Schedule& schedule,
                                          std::size_t phase);

/// "0x52000"-style hexadecimal.
std::string hex(std::uint64_t value);

} // namespace orvik_tool
