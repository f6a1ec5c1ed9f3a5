#pragma once

// The loop of the element-wise kernels over one array.

#include <cstddef>
#include <span>

namespace orvik_compiler::kernels {

/// result[i] = function(input[i]), one pass the compiler sees whole.
template <class Function>
void each(std::span<const float> input, std::span<float> result, Function function) {
  const float* in = input.data();
  float* out = result.data();
  const std::size_t count = result.size();
  for (std::size_t i = 0; i < count; ++i) {
    out[i] = function(in[i]);
  }
}

} // namespace orvik_compiler::kernels
