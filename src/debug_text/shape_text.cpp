// The text of a shape in messages.

#include "orvik_compiler/debug_text.hpp"

namespace orvik_compiler {

std::string shape_text(std::span<const std::uint64_t> shape) {
  // A message stays a few hundred bytes whatever the rank: past `shown` extents, the rest are
  // counted, not listed.
  constexpr std::size_t shown = 16;
  const std::size_t listed = shape.size() <= shown ? shape.size() : shown;
  std::string text = "[";
  for (std::size_t axis = 0; axis < listed; ++axis) {
    text += (axis == 0 ? "" : ", ") + std::to_string(shape[axis]);
  }
  if (listed < shape.size()) {
    text += ", ... " + std::to_string(shape.size() - listed) + " more";
  }
  return text + "]";
}

} // namespace orvik_compiler
