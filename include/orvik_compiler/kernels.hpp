#pragma once

// The single-precision host kernels that the encoder reference and the host interpreter compute
// with: a matrix product, a row-wise layer normalisation, an in-place row-wise softmax and the
// GELU of one value.

#include <cstdint>
#include <span>
#include <vector>

/// The host kernels, shared by `encoder_reference` and `evaluate`: single precision in a fixed
/// order, every operation rounded before the next, no fused multiply-add, so each result has the
/// bits of the plain loops described here. Arrays are row-major. An array shorter than the
/// elements the loops would touch throws std::out_of_range before anything is read or written;
/// longer arrays are read only as far as the dimensions reach.
namespace orvik_compiler::kernels {

/// The product of a rows x inner and an inner x columns matrix; each sum runs over k upward
/// from +0.0 as sum = left * right + sum. Many sums run side by side in vector registers, each
/// still in that order.
std::vector<float> matmul(std::span<const float> left, std::span<const float> right,
                          std::uint64_t rows, std::uint64_t inner, std::uint64_t columns);

/// Normalises each of the first `rows` rows to zero mean and unit population variance; the
/// result is as long as `input`, with zeros past the normalised rows.
std::vector<float> layer_norm(std::span<const float> input, std::uint64_t rows,
                              std::uint64_t columns, float epsilon);

/// Replaces each of the first `rows` rows by its softmax, the row maximum subtracted first.
void softmax_rows(std::span<float> values, std::uint64_t rows, std::uint64_t columns);

/// The tanh form of GELU: 0.5 x (1 + tanh(0.7978846 (x + 0.044715 x^3))).
float gelu(float value);

} // namespace orvik_compiler::kernels
