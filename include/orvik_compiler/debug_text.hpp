#pragma once

// The string escapes of the structural debug text, shared by every record's printer and by tools
// that show names, and the text of a shape that every message naming one uses.

#include <cstdint>
#include <iosfwd>
#include <span>
#include <string>
#include <string_view>

namespace orvik_compiler {

/// Writes `text` between double quotes with the escapes of the debug text: \" \\ \t \r \n \0,
/// \u{...} for non-printable characters and grapheme-extending marks, and \xNN for every byte
/// that is not part of well-formed UTF-8.
std::ostream& write_escaped(std::ostream& out, std::string_view text);

/// A shape as messages write it: the extents in square brackets, separated by ", " (`[4, 8]`,
/// `[]` for a scalar).
std::string shape_text(std::span<const std::uint64_t> shape);

} // namespace orvik_compiler
