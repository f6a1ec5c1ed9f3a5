#pragma once

// The valid name that a mistyped one most likely stands for, for "did you mean" suggestions.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace orvik_tool {

/// The fewest single-character insertions, deletions, substitutions and swaps of two
/// neighbouring characters that turn `from` into `to`, no character edited twice.
std::size_t edit_distance(std::string_view from, std::string_view to);

/// The first of the candidates nearest to `typed` by `edit_distance`, leading dashes ignored on
/// both sides, when a slip of the fingers explains the difference: at most two edits, at most
/// one for fewer than five characters typed and none for a single one. Empty otherwise. Time and
/// memory grow with the candidates' lengths only: a name longer than every candidate by more
/// than two characters is refused before any distance is computed.
std::string nearest_name(std::string_view typed, const std::vector<std::string>& candidates);

} // namespace orvik_tool
