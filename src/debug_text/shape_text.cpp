// The text of a shape in messages.

#include "orvik_compiler/debug_text.hpp"

namespace orvik_compiler {

std::string shape_text(std::span<const std::uint64_t> shape) {
  std::string text = "[";
  for (std::size_t axis = 0; axis < shape.size(); ++axis) {
    text += (axis == 0 ? "" : ", ") + std::to_string(shape[axis]);
  }
  return text + "]";
}

} // namespace orvik_compiler
