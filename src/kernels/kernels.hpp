#pragma once

// The library's kernels beyond the four public ones: the matrix product on strided views that
// `matmul`, the reference's attention and the interpreter share, and the element-wise,
// reducing, data-moving and converting kernels of the interpreter. They keep the public
// kernels' arithmetic: every operation rounded to single precision before the next, in a fixed
// order, with no fused multiply-add. The element-wise and reducing loops run over contiguous
// memory with no branches, so the compiler vectorises them without changing a bit.
//
// The data-moving kernels are templates over the element type, instantiated for `float` and
// `std::int32_t`: they copy values and never compute with them.

#include "orvik_compiler/kernels.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
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
/// The product is computed in blocks: both operands are copied into panels (with AVX-512 of 16
/// rows and 16 columns, 384 values of k at a time; otherwise of 6 rows and 16 columns, 256 at a
/// time), and each tile of sums stays in vector registers while k runs. A tile taken up again
/// for the next values of k continues from the sums stored in `result`, so the order of
/// additions is the plain loop's. The panels take at most 1.8 MiB. Uses AVX-512 where the
/// processor has it (`matmul_into_avx512`), else AVX2 (`matmul_into_avx2`), else
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

/// `matmul_into` with AVX-512 instructions, bounds already checked; only on a processor that
/// has them.
void matmul_into_avx512(MatrixView left, MatrixView right, std::span<float> result,
                        std::uint64_t result_row_step, std::uint64_t rows, std::uint64_t inner,
                        std::uint64_t columns);

/// `matmul_into` with AVX2 instructions, bounds already checked; only on a processor that has
/// them.
void matmul_into_avx2(MatrixView left, MatrixView right, std::span<float> result,
                      std::uint64_t result_row_step, std::uint64_t rows, std::uint64_t inner,
                      std::uint64_t columns);

/// The most heap, in bytes, that `matmul_into` takes for its panels, whatever the shapes: two
/// allocations whose sizes add up to this.
std::uint64_t matmul_panel_bytes();

/// True when the processor running the program has AVX2.
bool processor_has_avx2();

/// True when the processor running the program has AVX-512 (its foundation instructions).
bool processor_has_avx512();

/// Whether a batched product's right operand holds one matrix per batch or one for all.
enum class RightOperand : std::uint8_t { batched, shared };

/// `matmul` on each of `batches` pairs of matrices: `left` holds `batches` row-major
/// `rows` x `inner` matrices one after the other, `right` as many `inner` x `columns` matrices,
/// or a single one that every batch shares. Each batch's sums are `matmul`'s, computed by
/// `matmul_into` on the operands where they lie; batches sharing `right` are one product of
/// `batches` x `rows` rows, which sums the same terms in the same order. Throws
/// std::out_of_range when an operand is too short and std::overflow_error when a size does not
/// fit 64 bits or the address space.
std::vector<float> batch_matmul(std::span<const float> left, std::span<const float> right,
                                RightOperand right_operand, std::uint64_t batches,
                                std::uint64_t rows, std::uint64_t inner, std::uint64_t columns);

/// The element-wise functions of two operands, each value rounded to single precision:
/// `left + right`, `left - right`, `left x right`, `left / right`; `maximum` and `minimum` are
/// NaN when either operand is NaN, otherwise the larger (smaller), with +0 above -0; `power` is
/// the C library's `powf(left, right)`.
enum class BinaryFunction : std::uint8_t {
  add,
  subtract,
  multiply,
  divide,
  maximum,
  minimum,
  power
};

/// result[i] = function(left[i], right[i]) for every i of `result`. `result` may be the same
/// array as either operand. Throws std::out_of_range when an operand is shorter than `result`.
void apply(BinaryFunction function, std::span<const float> left, std::span<const float> right,
           std::span<float> result);

/// `apply(BinaryFunction::add, ...)`.
void add(std::span<const float> left, std::span<const float> right, std::span<float> result);

/// `apply(BinaryFunction::multiply, ...)`.
void multiply(std::span<const float> left, std::span<const float> right, std::span<float> result);

/// The element-wise functions of one operand: `erf`, `tanh`, `exp`, `log` are the C library's
/// `erff`, `tanhf`, `expf`, `logf`; `sqrt` the correctly rounded square root; `reciprocal`
/// `1.0f / x`; `negate` `-x`; `absolute` `fabsf(x)`; `relu` `x < 0 ? +0.0f : x` (NaN and -0
/// stay); `sigmoid` `1.0f / (1.0f + expf(-x))`, each step rounded.
enum class UnaryFunction : std::uint8_t {
  erf,
  tanh,
  exp,
  log,
  sqrt,
  reciprocal,
  negate,
  absolute,
  relu,
  sigmoid
};

/// result[i] = function(input[i]) for every i of `result`. `result` may be the same array as
/// `input`. Throws std::out_of_range when `input` is shorter than `result`.
void apply(UnaryFunction function, std::span<const float> input, std::span<float> result);

/// result[i] = gelu(input[i]) for every i of `result`, with the same bits. `result` may be the
/// same array as `input`. Throws std::out_of_range when `input` is shorter than `result`.
void gelu_values(std::span<const float> input, std::span<float> result);

/// `apply(UnaryFunction::tanh, ...)`: result[i] = std::tanh(input[i]), bit for bit.
void tanh_values(std::span<const float> input, std::span<float> result);

/// tanh and GELU over `result.size()` values of `input` in vector lanes, each with the bits of
/// the classic tanhf algorithm (that of std::tanh where `tanh_probes_match` holds); only on a
/// processor with AVX-512 (AVX2). `apply` and `gelu_values` use them after that check.
void tanh_avx512(std::span<const float> input, std::span<float> result);
void tanh_avx2(std::span<const float> input, std::span<float> result);
void gelu_avx512(std::span<const float> input, std::span<float> result);
void gelu_avx2(std::span<const float> input, std::span<float> result);

/// The inputs on which a vector tanh is compared with std::tanh before use: every branch of the
/// algorithm and both sides of each of its range boundaries.
std::vector<float> tanh_probe_values();

/// True when `results` has std::tanh's bits of each of `tanh_probe_values()`, in order.
bool tanh_probes_match(std::span<const float> results);

/// What a reduction keeps of the values along its axis: `sum` adds them in increasing index
/// starting from the first (x0, then sum + x1, ...), `mean` divides that sum by the extent
/// converted to float, `max` is NaN when any value is NaN and otherwise the largest, +0 above -0
/// (so the maximum of -0 and +0 is +0 whichever comes first).
enum class Reduction : std::uint8_t { sum, mean, max };

/// Reduces every slice along one axis: `input` holds `outer` x `extent` x `inner` values, and
/// slice (o, i) is the `extent` values at o x extent x inner + a x inner + i for a upward; the
/// result holds `outer` x `inner` values, (o, i) at o x inner + i. Neighbouring slices advance
/// together, each still taking its values in increasing a: the `inner` slices of one outer index
/// a row of contiguous values at a time, and contiguous slices (inner = 1) in groups whose
/// chains of additions overlap. Throws std::out_of_range when `extent` is 0 (there is no first
/// value) or `input` is too short.
std::vector<float> reduce(Reduction reduction, std::span<const float> input, std::uint64_t outer,
                          std::uint64_t extent, std::uint64_t inner);

/// Runs `softmax_rows`' algorithm on every slice along one axis, in place: `values` holds
/// `outer` x `extent` x `inner` values, and slice (o, i) is the `extent` values at
/// o x extent x inner + a x inner + i for a upward. Each slice takes its maximum, exponentials,
/// running total and divisions in increasing a, exactly as a row of `softmax_rows`; several
/// slices are worked on side by side. Throws std::out_of_range when `values` is too short.
void softmax_along(std::span<float> values, std::uint64_t outer, std::uint64_t extent,
                   std::uint64_t inner);

/// The row-major array of `shape` with its axes reordered: output axis i is input axis
/// `permutation[i]`. `permutation` must name every axis of `shape` once. Throws
/// std::out_of_range when `input` is shorter than the shape or the permutation does not fit it.
template <class Element>
std::vector<Element> transpose(std::span<const Element> input, std::span<const std::uint64_t> shape,
                               std::span<const std::uint64_t> permutation);

/// The row-major array of `shape` repeated to `target`: shapes aligned at the right, an axis of
/// extent 1 (or missing on the left) repeated to the target's extent. Throws std::out_of_range
/// when `input` is shorter than `shape`, the target has the lower rank, or an extent is neither
/// 1 nor the target's.
template <class Element>
std::vector<Element> broadcast(std::span<const Element> input, std::span<const std::uint64_t> shape,
                               std::span<const std::uint64_t> target);

/// Elements start, start + step, ... below `stop` along the middle axis of an `outer` x `extent`
/// x `inner` array, every other axis whole. Throws std::out_of_range unless
/// start < stop <= extent and step >= 1, or when `input` is too short.
template <class Element>
std::vector<Element> slice(std::span<const Element> input, std::uint64_t outer,
                           std::uint64_t extent, std::uint64_t inner, std::uint64_t start,
                           std::uint64_t stop, std::uint64_t step);

/// The arrays joined along their middle axis, in order: input j holds `outer` x `extents[j]` x
/// `inner` values. Throws std::out_of_range when the counts of inputs and extents differ or an
/// input is too short, std::overflow_error when the result does not fit the address space.
template <class Element>
std::vector<Element> concat(std::span<const std::span<const Element>> inputs,
                            std::span<const std::uint64_t> extents, std::uint64_t outer,
                            std::uint64_t inner);

/// The first index, in index order, outside [0, rows), or nothing when all lie inside.
std::optional<std::int32_t> first_index_outside(std::span<const std::int32_t> indices,
                                                std::uint64_t rows);

/// Rows of `table` (`rows` rows of `row_length` values) picked by `indices`, one after the other
/// in index order. Negative indices are not wrapped: every index must lie in [0, rows). Throws
/// std::out_of_range naming the first index outside it, or when `table` is too short, before
/// anything is copied.
template <class Element>
std::vector<Element> gather(std::span<const Element> table, std::uint64_t rows,
                            std::uint64_t row_length, std::span<const std::int32_t> indices);

/// Each integer rounded to the nearest float, ties to even (16777217 gives 16777216).
std::vector<float> cast_to_f32(std::span<const std::int32_t> input);

/// The first value, in order, that does not fit I32 when truncated: NaN, or a value outside
/// [-2^31, 2^31); nothing when all fit.
std::optional<float> first_outside_i32(std::span<const float> input);

/// Each float truncated toward zero (-0.5 gives 0). Throws std::out_of_range naming the first
/// value that does not fit.
std::vector<std::int32_t> cast_to_i32(std::span<const float> input);

/// The shortest text that reads back as the same float, as messages write values: "2147483648",
/// "3e+09", "-0.5", "inf", "-inf", and "nan" for every NaN.
std::string float_text(float value);

} // namespace orvik_compiler::kernels
