#pragma once

// Strict JSON reading for input files: the text is refused when it nests deeper than a file of
// its kind needs, is not JSON, or gives one key twice in an object, with a diagnostic that
// locates the fault.

#include <orvik_compiler/result.hpp>

#include <nlohmann/json.hpp>

#include <cstddef>
#include <string>
#include <string_view>

namespace orvik_compiler::schedule_io {

/// The document of `text`, or a `CompileError::Graph` whose message is the whole diagnostic:
/// "FILE:LINE:COL: error: ..." for text that is not JSON, a number beyond the range of a double
/// or brackets nested deeper than `max_nesting` (refused before parsing, so no input can exhaust
/// the stack), and "FILE: error: duplicate key PATH" for a key that its object already has.
Result<nlohmann::json> parse_strict_json(std::string_view text, std::string_view file,
                                         std::size_t max_nesting);

/// The JSON path of member `key` of the value at `parent`: ".key" for a key that reads as a
/// name, otherwise the key quoted and escaped in brackets.
std::string member_path(std::string parent, std::string_view key);

} // namespace orvik_compiler::schedule_io
