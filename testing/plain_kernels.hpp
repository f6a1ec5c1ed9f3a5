#pragma once

// The kernels and the encoder reference as plain loops, exactly in the documented order: the
// oracle that the library's blocked kernels must match bit for bit.

#include <orvik_compiler/encoder.hpp>

#include <cstdint>
#include <span>
#include <vector>

namespace orvik_compiler::testing {

/// For each row r and column c in turn: sum = +0.0, then sum = left[r][k] x right[k][c] + sum
/// for k upward.
std::vector<float> plain_matmul(std::span<const float> left, std::span<const float> right,
                                std::uint64_t rows, std::uint64_t inner, std::uint64_t columns);

/// For each row: the mean and the population variance, each a sum first to last from -0.0
/// divided by the column count, then (value - mean) x (1 / sqrt(variance + epsilon)).
std::vector<float> plain_layer_norm(std::span<const float> input, std::uint64_t rows,
                                    std::uint64_t columns, float epsilon);

/// The softmax of each slice along axis `axis` of a row-major array of `shape`, one slice at a
/// time: maximum, exponentials with their running total, divisions, each first to last.
std::vector<float> plain_softmax(std::span<const float> values,
                                 const std::vector<std::uint64_t>& shape, std::size_t axis);

/// The encoder reference with the attention written as the three nested loops per head.
std::vector<float> plain_encoder_reference(EncoderConfig config, std::span<const float> input,
                                           const EncoderWeights& weights);

} // namespace orvik_compiler::testing
