// The axis permutation of a row-major array: values are only copied, in square blocks where
// the input's and the output's neighbours lie on different axes.

#include "kernels.hpp"

#include "../checked_arithmetic.hpp"
#include "require_length.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace orvik_compiler::kernels {
namespace {

/// Side of the square blocks in which `transpose` moves values whose input and output
/// neighbours lie on different axes.
constexpr std::uint64_t transpose_block = 16;

} // namespace

template <class Element>
std::vector<Element> transpose(std::span<const Element> input, std::span<const std::uint64_t> shape,
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
  std::vector<Element> output(checked::float_count(count, "transpose result"));
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

template std::vector<float> transpose(std::span<const float>, std::span<const std::uint64_t>,
                                      std::span<const std::uint64_t>);
template std::vector<std::int32_t> transpose(std::span<const std::int32_t>,
                                             std::span<const std::uint64_t>,
                                             std::span<const std::uint64_t>);

} // namespace orvik_compiler::kernels
