// The softmax kernels: each slice takes its maximum, then its exponentials with their running
// total, then its divisions, every pass in increasing position and every operation rounded to
// float before the next.

#include "kernels.hpp"

#include "../checked_arithmetic.hpp"
#include "require_length.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace orvik_compiler::kernels {
namespace {

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

} // namespace

void softmax_rows(std::span<float> values, std::uint64_t rows, std::uint64_t columns) {
  require_length(values.size(), checked::multiply(rows, columns, "softmax_rows"), "softmax_rows",
                 "values");
  softmax_slices(values, rows, columns, 1);
}

void softmax_along(std::span<float> values, std::uint64_t outer, std::uint64_t extent,
                   std::uint64_t inner) {
  const std::uint64_t slice_values = checked::multiply(extent, inner, "softmax_along");
  require_length(values.size(), checked::multiply(outer, slice_values, "softmax_along"),
                 "softmax_along", "values");
  softmax_slices(values, outer, extent, inner);
}

} // namespace orvik_compiler::kernels
