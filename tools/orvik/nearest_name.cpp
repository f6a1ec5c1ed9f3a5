// The valid name that a mistyped one most likely stands for.

#include "nearest_name.hpp"

#include <algorithm>

namespace orvik_tool {
namespace {

std::string_view without_dashes(std::string_view name) {
  return name.substr(std::min(name.find_first_not_of('-'), name.size()));
}

} // namespace

std::size_t edit_distance(std::string_view from, std::string_view to) {
  // distance[i][j]: from the first i characters of `from` to the first j of `to`.
  std::vector<std::vector<std::size_t>> distance(from.size() + 1,
                                                 std::vector<std::size_t>(to.size() + 1));
  for (std::size_t i = 0; i <= from.size(); ++i) {
    distance[i][0] = i;
  }
  for (std::size_t j = 0; j <= to.size(); ++j) {
    distance[0][j] = j;
  }
  for (std::size_t i = 1; i <= from.size(); ++i) {
    for (std::size_t j = 1; j <= to.size(); ++j) {
      const std::size_t substitution = from[i - 1] == to[j - 1] ? 0 : 1;
      std::size_t best = std::min(
          {distance[i - 1][j] + 1, distance[i][j - 1] + 1, distance[i - 1][j - 1] + substitution});
      if (i > 1 && j > 1 && from[i - 1] == to[j - 2] && from[i - 2] == to[j - 1]) {
        best = std::min(best, distance[i - 2][j - 2] + 1);
      }
      distance[i][j] = best;
    }
  }
  return distance[from.size()][to.size()];
}

std::string nearest_name(std::string_view typed, const std::vector<std::string>& candidates) {
  const std::string_view word = without_dashes(typed);
  const std::size_t allowed = word.size() >= 5 ? 2 : word.size() >= 2 ? 1 : 0;
  const std::string* nearest = nullptr;
  std::size_t nearest_distance = allowed + 1;
  for (const std::string& candidate : candidates) {
    const std::string_view name = without_dashes(candidate);
    // The distance is at least the difference in length, so a name far longer or shorter than
    // every candidate (a megabyte-long key in a graph file) costs nothing to refuse.
    const std::size_t length_difference =
        word.size() > name.size() ? word.size() - name.size() : name.size() - word.size();
    if (length_difference > allowed) {
      continue;
    }
    const std::size_t distance = edit_distance(word, name);
    if (distance < nearest_distance) {
      nearest = &candidate;
      nearest_distance = distance;
    }
  }
  return nearest == nullptr ? std::string() : *nearest;
}

} // namespace orvik_tool
