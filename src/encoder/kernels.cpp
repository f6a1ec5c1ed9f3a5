// The single-precision host kernels. Every loop runs in the documented order and every
// operation is rounded to float before the next; the library is built without contraction
// into fused multiply-adds. The matrix product's blocks are in matmul.cpp.

#include "kernels.hpp"

#include "../checked_arithmetic.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace orvik_compiler::kernels {
namespace {

constexpr float gelu_cubic = 0.044715F;
constexpr float sqrt_two_over_pi = 0.7978846F;

/// Stops before any access when `array` holds fewer than `needed` values.
void require_length(std::size_t length, std::uint64_t needed, const char* kernel,
                    const char* array) {
  if (length < needed) {
    throw std::out_of_range(std::string(kernel) + ": " + array + " holds " +
                            std::to_string(length) + " values, the dimensions need " +
                            std::to_string(needed));
  }
}

/// Values the row loops touch: rows x columns, or none when either is 0.
std::uint64_t row_span(std::uint64_t rows, std::uint64_t columns, const char* kernel) {
  return checked::multiply(rows, columns, kernel);
}

/// Slices worked on side by side when they are not contiguous: their maxima and totals live
/// on the stack.
constexpr std::uint64_t slice_group = 256;

/// The softmax of every slice of `values`, bounds already checked. A row (inner = 1) is one
/// contiguous slice; otherwise up to slice_group neighbouring slices advance together, each
/// still in increasing a.
void softmax_slices(std::span<float> values, std::uint64_t outer, std::uint64_t extent,
                    std::uint64_t inner) {
  const float lowest = -std::numeric_limits<float>::infinity();
  if (inner == 1) {
    for (std::uint64_t o = 0; o < outer; ++o) {
      const std::span<float> row = values.subspan(o * extent, extent);
      float maximum = lowest;
      for (const float value : row) {
        if (value > maximum) {
          maximum = value;
        }
      }
      float total = 0.0F;
      for (float& value : row) {
        value = std::exp(value - maximum);
        total = value + total;
      }
      for (float& value : row) {
        value = value / total;
      }
    }
    return;
  }
  std::array<float, slice_group> maxima{};
  std::array<float, slice_group> totals{};
  for (std::uint64_t o = 0; o < outer; ++o) {
    for (std::uint64_t first = 0; first < inner; first += slice_group) {
      const std::uint64_t width = std::min(slice_group, inner - first);
      const auto slice_row = [&](std::uint64_t a) {
        return values.subspan(o * extent * inner + a * inner + first, width);
      };
      std::fill_n(maxima.begin(), width, lowest);
      std::fill_n(totals.begin(), width, 0.0F);
      for (std::uint64_t a = 0; a < extent; ++a) {
        const std::span<float> row = slice_row(a);
        for (std::uint64_t i = 0; i < width; ++i) {
          if (row[i] > maxima[i]) {
            maxima[i] = row[i];
          }
        }
      }
      for (std::uint64_t a = 0; a < extent; ++a) {
        const std::span<float> row = slice_row(a);
        for (std::uint64_t i = 0; i < width; ++i) {
          row[i] = std::exp(row[i] - maxima[i]);
          totals[i] = row[i] + totals[i];
        }
      }
      for (std::uint64_t a = 0; a < extent; ++a) {
        const std::span<float> row = slice_row(a);
        for (std::uint64_t i = 0; i < width; ++i) {
          row[i] = row[i] / totals[i];
        }
      }
    }
  }
}

/// Side of the square blocks in which `transpose` moves values whose input and output
/// neighbours lie on different axes.
constexpr std::uint64_t transpose_block = 16;

} // namespace

std::vector<float> matmul(std::span<const float> left, std::span<const float> right,
                          std::uint64_t rows, std::uint64_t inner, std::uint64_t columns) {
  const std::uint64_t result_size =
      checked::float_count(checked::multiply(rows, columns, "matmul result size"), "matmul result");
  // The loops read `left` only when there are columns and `right` only when there are rows.
  if (result_size != 0) {
    require_length(left.size(), checked::multiply(rows, inner, "matmul"), "matmul", "left");
    require_length(right.size(), checked::multiply(inner, columns, "matmul"), "matmul", "right");
  }
  std::vector<float> result(result_size, 0.0F);
  matmul_into({left, inner}, {right, columns}, result, columns, rows, inner, columns);
  return result;
}

std::vector<float> layer_norm(std::span<const float> input, std::uint64_t rows,
                              std::uint64_t columns, float epsilon) {
  require_length(input.size(), row_span(rows, columns, "layer_norm"), "layer_norm", "input");
  std::vector<float> result(input.size(), 0.0F);
  const float n = static_cast<float>(columns);
  for (std::uint64_t r = 0; r < rows; ++r) {
    const std::span<const float> row = input.subspan(r * columns, columns);
    float sum = -0.0F;
    for (const float value : row) {
      sum = sum + value;
    }
    const float mean = sum / n;
    float squares = -0.0F;
    for (const float value : row) {
      const float deviation = value - mean;
      const float square = deviation * deviation;
      squares = squares + square;
    }
    const float variance = squares / n;
    const float scale = 1.0F / std::sqrt(variance + epsilon);
    for (std::uint64_t c = 0; c < columns; ++c) {
      const float deviation = row[c] - mean;
      result[r * columns + c] = deviation * scale;
    }
  }
  return result;
}

void softmax_rows(std::span<float> values, std::uint64_t rows, std::uint64_t columns) {
  require_length(values.size(), row_span(rows, columns, "softmax_rows"), "softmax_rows", "values");
  softmax_slices(values, rows, columns, 1);
}

float gelu(float value) {
  const float half = 0.5F * value;
  const float square = value * value;
  const float cube = value * square;
  const float scaled_cube = gelu_cubic * cube;
  const float inner = value + scaled_cube;
  const float argument = sqrt_two_over_pi * inner;
  const float t = std::tanh(argument);
  const float one_plus_t = 1.0F + t;
  return half * one_plus_t;
}

void add(std::span<const float> left, std::span<const float> right, std::span<float> result) {
  require_length(left.size(), result.size(), "add", "left");
  require_length(right.size(), result.size(), "add", "right");
  for (std::size_t i = 0; i < result.size(); ++i) {
    result[i] = left[i] + right[i];
  }
}

void multiply(std::span<const float> left, std::span<const float> right, std::span<float> result) {
  require_length(left.size(), result.size(), "multiply", "left");
  require_length(right.size(), result.size(), "multiply", "right");
  for (std::size_t i = 0; i < result.size(); ++i) {
    result[i] = left[i] * right[i];
  }
}

void softmax_along(std::span<float> values, std::uint64_t outer, std::uint64_t extent,
                   std::uint64_t inner) {
  const std::uint64_t slice_values = checked::multiply(extent, inner, "softmax_along");
  require_length(values.size(), checked::multiply(outer, slice_values, "softmax_along"),
                 "softmax_along", "values");
  softmax_slices(values, outer, extent, inner);
}

std::vector<float> transpose(std::span<const float> input, std::span<const std::uint64_t> shape,
                             std::span<const std::uint64_t> permutation) {
  const std::size_t rank = shape.size();
  std::vector<bool> named(rank, false);
  bool reorders = permutation.size() == rank;
  for (const std::uint64_t axis : permutation) {
    reorders = reorders && axis < rank && !named[axis];
    if (reorders) {
      named[axis] = true;
    }
  }
  if (!reorders) {
    throw std::out_of_range("transpose: the permutation does not reorder the " +
                            std::to_string(rank) + " axes of the shape");
  }
  std::uint64_t count = 1;
  for (const std::uint64_t extent : shape) {
    count = checked::multiply(count, extent, "transpose");
  }
  require_length(input.size(), count, "transpose", "input");
  std::vector<float> output(checked::float_count(count, "transpose result"));
  if (count == 0) {
    return output;
  }
  if (rank == 0) {
    output[0] = input[0];
    return output;
  }
  // Row-major steps of the input's axes, and for each output axis its extent and the input
  // step that moving along it takes.
  std::vector<std::uint64_t> input_steps(rank, 1);
  for (std::size_t axis = rank; axis-- > 1;) {
    input_steps[axis - 1] = input_steps[axis] * shape[axis];
  }
  std::vector<std::uint64_t> extents(rank);
  std::vector<std::uint64_t> steps(rank);
  std::vector<std::uint64_t> output_steps(rank, 1);
  for (std::size_t axis = 0; axis < rank; ++axis) {
    extents[axis] = shape[permutation[axis]];
    steps[axis] = input_steps[permutation[axis]];
  }
  for (std::size_t axis = rank; axis-- > 1;) {
    output_steps[axis - 1] = output_steps[axis] * extents[axis];
  }
  // The output's last axis is walked together with the output axis that runs along the
  // input's last axis, in square blocks, so that reads and writes both stay within a few
  // cache lines; when the two are the same axis the copy runs straight along it.
  const std::size_t last = rank - 1;
  const std::size_t along = static_cast<std::size_t>(
      std::find(permutation.begin(), permutation.end(), last) - permutation.begin());
  std::vector<std::uint64_t> position(rank, 0);
  const auto advance = [&] {
    // The next position over every axis but `last` and `along`; false once all are done.
    for (std::size_t axis = rank; axis-- > 0;) {
      if (axis == last || axis == along) {
        continue;
      }
      if (++position[axis] < extents[axis]) {
        return true;
      }
      position[axis] = 0;
    }
    return false;
  };
  do {
    std::uint64_t input_base = 0;
    std::uint64_t output_base = 0;
    for (std::size_t axis = 0; axis < rank; ++axis) {
      input_base += position[axis] * steps[axis];
      output_base += position[axis] * output_steps[axis];
    }
    if (along == last) {
      std::copy_n(input.begin() + static_cast<std::ptrdiff_t>(input_base), extents[last],
                  output.begin() + static_cast<std::ptrdiff_t>(output_base));
      continue;
    }
    for (std::uint64_t a0 = 0; a0 < extents[along]; a0 += transpose_block) {
      const std::uint64_t a_end = std::min(extents[along], a0 + transpose_block);
      for (std::uint64_t l0 = 0; l0 < extents[last]; l0 += transpose_block) {
        const std::uint64_t l_end = std::min(extents[last], l0 + transpose_block);
        for (std::uint64_t a = a0; a < a_end; ++a) {
          for (std::uint64_t l = l0; l < l_end; ++l) {
            output[output_base + a * output_steps[along] + l] =
                input[input_base + a + l * steps[last]];
          }
        }
      }
    }
  } while (advance());
  return output;
}

} // namespace orvik_compiler::kernels
