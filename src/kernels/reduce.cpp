// The reductions along one axis: every slice starts from its first value and takes the others
// in increasing index, each step rounded to float before the next.

#include "kernels.hpp"

#include "../checked_arithmetic.hpp"
#include "float_order.hpp"
#include "require_length.hpp"

#include <algorithm>
#include <cstddef>
#include <stdexcept>

namespace orvik_compiler::kernels {
namespace {

/// Contiguous slices reduced side by side: each one's chain of dependent steps is independent
/// of the others', so the processor overlaps them.
constexpr std::uint64_t contiguous_group = 8;

/// Reduces every slice with `combine(kept, next)`. Contiguous slices (inner = 1) advance
/// `contiguous_group` at a time, each still in increasing a; otherwise the `inner` slices of one
/// outer index start as the row a = 0 and take row a = 1, 2, ... in turn, element by element, so
/// the inner loop runs over contiguous memory.
template <class Combine>
void reduce_slices(const float* input, float* result, std::uint64_t outer, std::uint64_t extent,
                   std::uint64_t inner, Combine combine) {
  if (inner == 1) {
    std::uint64_t o = 0;
    for (; o + contiguous_group <= outer; o += contiguous_group) {
      const float* slices = input + o * extent;
      float kept[contiguous_group];
      for (std::uint64_t s = 0; s < contiguous_group; ++s) {
        kept[s] = slices[s * extent];
      }
      for (std::uint64_t a = 1; a < extent; ++a) {
        for (std::uint64_t s = 0; s < contiguous_group; ++s) {
          kept[s] = combine(kept[s], slices[s * extent + a]);
        }
      }
      std::copy_n(kept, contiguous_group, result + o);
    }
    for (; o < outer; ++o) {
      const float* slice = input + o * extent;
      float kept = slice[0];
      for (std::uint64_t a = 1; a < extent; ++a) {
        kept = combine(kept, slice[a]);
      }
      result[o] = kept;
    }
    return;
  }
  for (std::uint64_t o = 0; o < outer; ++o) {
    const float* block = input + o * extent * inner;
    float* kept = result + o * inner;
    std::copy_n(block, inner, kept);
    for (std::uint64_t a = 1; a < extent; ++a) {
      const float* row = block + a * inner;
      for (std::uint64_t i = 0; i < inner; ++i) {
        kept[i] = combine(kept[i], row[i]);
      }
    }
  }
}

} // namespace

std::vector<float> reduce(Reduction reduction, std::span<const float> input, std::uint64_t outer,
                          std::uint64_t extent, std::uint64_t inner) {
  if (extent == 0) {
    throw std::out_of_range("reduce: an axis of extent 0 has no first value");
  }
  const std::uint64_t result_size =
      checked::float_count(checked::multiply(outer, inner, "reduce result size"), "reduce result");
  require_length(input.size(), checked::multiply(result_size, extent, "reduce"), "reduce", "input");
  std::vector<float> result(result_size);
  const auto sum = [](float kept, float next) { return kept + next; };
  switch (reduction) {
  case Reduction::sum:
    reduce_slices(input.data(), result.data(), outer, extent, inner, sum);
    break;
  case Reduction::mean: {
    reduce_slices(input.data(), result.data(), outer, extent, inner, sum);
    const float count = static_cast<float>(extent);
    for (float& value : result) {
      value = value / count;
    }
    break;
  }
  case Reduction::max:
    reduce_slices(input.data(), result.data(), outer, extent, inner, maximum);
    break;
  }
  return result;
}

} // namespace orvik_compiler::kernels
