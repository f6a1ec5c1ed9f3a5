#pragma once

// The library's kernels beyond the four public ones: the matrix product on strided views that
// `matmul`, the reference's attention and the interpreter share, and the element-wise,
// transposing and axis-wise kernels of the interpreter. They keep the public kernels'
// arithmetic: every operation rounded to single precision before the next, in a fixed order,
// with no fused multiply-add.

#include "orvik_compiler/kernels.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace orvik_compiler::kernels {

/// A read-only matrix inside a larger array: element (r, c) is
/// `values[r * row_step + c * column_step]`.
struct MatrixView {
  std::span<const float> values;
  std::uint64_t row_step = 0;
  std::uint64_t column_step = 1;
};

/// The product of the `rows` x `inner` matrix `left` and the `inner` x `columns` matrix `right`,
/// written to `result[r * result_row_step + c]`; nothing else of `result` is touched. Each
/// element is `matmul`'s sum: over k upward from +0.0 as sum = left(r, k) x right(k, c) + sum,
/// every product and sum rounded, so the bits are those of the plain loop.
///
/// The product is computed in blocks: both operands are copied into panels of 6 rows and of
/// 16 columns, 256 values of k at a time, and each 6 x 16 block of sums stays in vector
/// registers while k runs. A block taken up again for the next 256 values of k continues from
/// the sums stored in `result`, so the order of additions is the plain loop's. The panels take
/// at most 632 KiB. Uses AVX2 where the processor has it (`matmul_into_avx2`), otherwise
/// `matmul_into_generic`.
///
/// Throws std::out_of_range when a view or `result` is too short for the dimensions and
/// std::overflow_error when an index would not fit 64 bits, both before anything is written;
/// a view with no rows or no columns to read is not looked at.
void matmul_into(MatrixView left, MatrixView right, std::span<float> result,
                 std::uint64_t result_row_step, std::uint64_t rows, std::uint64_t inner,
                 std::uint64_t columns);

/// `matmul_into` on any x86-64 processor, bounds already checked.
void matmul_into_generic(MatrixView left, MatrixView right, std::span<float> result,
                         std::uint64_t result_row_step, std::uint64_t rows, std::uint64_t inner,
                         std::uint64_t columns);

/// `matmul_into` with AVX2 instructions, bounds already checked; only on a processor that has
/// them.
void matmul_into_avx2(MatrixView left, MatrixView right, std::span<float> result,
                      std::uint64_t result_row_step, std::uint64_t rows, std::uint64_t inner,
                      std::uint64_t columns);

/// True when the processor running the program has AVX2.
bool processor_has_avx2();

/// result[i] = left[i] + right[i] for every i of `result`. `result` may be the same array as
/// either operand. Throws std::out_of_range when an operand is shorter than `result`.
void add(std::span<const float> left, std::span<const float> right, std::span<float> result);

/// result[i] = left[i] x right[i] for every i of `result`, with the aliasing and the bounds of
/// `add`.
void multiply(std::span<const float> left, std::span<const float> right, std::span<float> result);

/// Runs `softmax_rows`' algorithm on every slice along one axis, in place: `values` holds
/// `outer` x `extent` x `inner` values, and slice (o, i) is the `extent` values at
/// o x extent x inner + a x inner + i for a upward. Each slice takes its maximum, exponentials,
/// running total and divisions in increasing a, exactly as a row of `softmax_rows`; several
/// slices are worked on side by side. Throws std::out_of_range when `values` is too short.
void softmax_along(std::span<float> values, std::uint64_t outer, std::uint64_t extent,
                   std::uint64_t inner);

/// The row-major array of `shape` with its axes reordered: output axis i is input axis
/// `permutation[i]`. `permutation` must name every axis of `shape` once. Copies values only,
/// so the bits are unchanged. Throws std::out_of_range when `input` is shorter than the shape or
/// the permutation does not fit it.
std::vector<float> transpose(std::span<const float> input, std::span<const std::uint64_t> shape,
                             std::span<const std::uint64_t> permutation);

} // namespace orvik_compiler::kernels
