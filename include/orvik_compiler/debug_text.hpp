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

/// Writes a message made of `text` so that a terminal shows it as it is and nothing else: the
/// escapes of `write_escaped` for every character that does not print and every byte that is not
/// part of well-formed UTF-8, but line breaks, quotes and backslashes as they are, and no quotes
/// around it.
std::ostream& write_printable(std::ostream& out, std::string_view text);

/// Whether `text` is well-formed UTF-8 throughout (no overlong forms, surrogates or values past
/// U+10FFFF).
bool is_well_formed_utf8(std::string_view text);

/// A shape as messages write it: the extents in square brackets, separated by ", " (`[4, 8]`,
/// `[]` for a scalar); past 16 extents, the first 16 and how many more (`[1, ..., 1, ... 84
/// more]`), so that no message grows with the rank.
std::string shape_text(std::span<const std::uint64_t> shape);

} // namespace orvik_compiler
