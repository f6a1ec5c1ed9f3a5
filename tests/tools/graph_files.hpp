#pragma once

// Graph files built at run time for the tests of the tool's limits.

#include <cstddef>
#include <string>

namespace orvik_tool::testing {

/// An input "g0" of `rank` axes of extent 1 and `length` GELUs, each reading the one before, the
/// last the output: a few bytes of text a step, `rank` extents a tensor.
inline std::string gelu_chain_file(std::size_t rank, std::size_t length) {
  std::string text = R"({"format": "orvik-graph", "version": 1, "steps": [)"
                     R"({"op": "input", "name": "g0", "shape": [1)";
  for (std::size_t axis = 1; axis < rank; ++axis) {
    text += ",1";
  }
  text += "]}";
  for (std::size_t i = 1; i <= length; ++i) {
    text += R"(, {"op": "gelu", "name": "g)" + std::to_string(i) + R"(", "input": "g)" +
            std::to_string(i - 1) + R"("})";
  }
  return text + R"(, {"op": "output", "tensor": "g)" + std::to_string(length) + R"("}]})";
}

} // namespace orvik_tool::testing
