#pragma once

// The graph file: a JSON document holding an ordered list of builder steps, each naming the
// tensor it defines, with operands referred to by name. Besides "input", "weight" and "output",
// a step is named like the kernel of its operation, and its fields are the builder method's
// parameters. Fields with a default ("dtype" "f32" of an input or weight, "step" 1 of a slice)
// may be left out, and are left out when written.
//
//   {"format": "orvik-graph", "version": 1, "steps": [
//     {"op": "input", "name": "x", "shape": [4, 8]},
//     {"op": "weight", "name": "w", "shape": [8, 512]},
//     {"op": "matmul", "name": "y", "left": "x", "right": "w"},
//     {"op": "output", "tensor": "y"}]}

#include "resource_budget.hpp"
#include "tool_failure.hpp"

#include <orvik_compiler/graph.hpp>

#include <string>
#include <string_view>

namespace orvik_tool {

/// Replays the steps of a graph file through the builder. `file` names the file in messages.
/// A file that cannot be read fails with the usage status and a message in the compiler's
/// diagnostic form: "FILE:LINE:COL: error: ..." for text that is not JSON, "FILE: error: step N
/// "name": ..." for a step that cannot be replayed. The reading is strict: a key given twice in
/// one object, a field that the document or the step's kind does not have, a "version" that is
/// not the integer 1, a "dtype" other than "f32" and "i32" and an epsilon that a 32-bit float
/// cannot hold, or that it rounds to zero, are errors, the fields named by their JSON path
/// ("$.steps[2].epsilon", steps from 0). An unknown field is reported before a missing one, with
/// the field that it most likely stands for: "unknown field $.steps[2].epsilom (did you mean
/// epsilon?)".
///
/// Before any step is replayed, the heap that the graph will take is bounded from the document
/// alone, each tensor's axes from its operands' and its shape's, so that a few bytes of step
/// naming a tensor of many axes cannot make the graph outgrow `memory_budget`: a graph over it is
/// refused with the compile status, "FILE: error: the graph needs an estimated B bytes of memory,
/// more than the budget of M bytes; --memory-budget raises it". The parsed document, up to about
/// 40 times the text's size, is not counted.
ToolResult<orvik_compiler::Graph>
read_graph_file(std::string_view text, std::string_view file,
                std::uint64_t memory_budget = default_memory_budget);

/// The heap that `graph` takes as `read_graph_file` bounds it, the name table included.
std::uint64_t graph_memory(const orvik_compiler::Graph& graph);

/// Writes a graph built through the builder as a graph file, one step per line; a file written
/// here reads back to the same graph and writes back to the same bytes. Fails with the compile
/// status when the graph cannot be written as one: two tensors with one name, or records that
/// the builder could not have made.
ToolResult<std::string> write_graph_file(const orvik_compiler::Graph& graph);

} // namespace orvik_tool
