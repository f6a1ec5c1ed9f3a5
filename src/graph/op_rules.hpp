#pragma once

// The rule of every operation kind: how many operands it reads, which operand shapes it
// accepts and the shape of its output. The builder applies it when it appends an op, and the
// interpreter applies it again to ops it did not see being built, so that both always agree.

#include "orvik_compiler/graph.hpp"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace orvik_compiler {

/// The product of the extents, 1 for an empty shape, 0 when an extent is 0. Throws
/// std::overflow_error ("tensor element count overflows 64 bits") when it does not fit 64 bits.
std::uint64_t element_count(std::span<const std::uint64_t> shape);

/// The shape of the output of an op named `name` of kind `kind` over operands of the shapes
/// `operands`, in operand order, or the builder's error naming `name`:
/// - a wrong number of operands: "{name}: expects 2 operands, got 1" or "{name}: expects
///   1 operand, got 2" (the builder always passes
///   the right number, so only ops assembled by hand meet this);
/// - `MatMul`: two rank-2 operands [m, k] x [k, n] give [m, n]; "{name}: incompatible matmul
///   [a, b] x [c, d]" (both shapes written out) otherwise;
/// - `Add`, `Mul`: two operands of the same shape give that shape; "{name}: binary shapes
///   differ" otherwise, with no broadcasting;
/// - `Transpose`: output axis i is operand axis `permutation[i]`; "{name}: invalid transpose
///   permutation" unless the permutation names every axis exactly once;
/// - `Softmax`: the operand's shape; "{name}: softmax axis out of range" unless `axis` is below
///   its rank;
/// - `Reshape`: the kind's `shape`; "{name}: reshape changes element count" when its element
///   count differs from the operand's;
/// - `LayerNorm`, `Gelu`: the operand's shape, any shape accepted.
/// Throws std::overflow_error only for a reshape whose operand's or target's element count does
/// not fit 64 bits.
Result<std::vector<std::uint64_t>>
output_shape(const std::string& name, const OpKind& kind,
             std::span<const std::vector<std::uint64_t>> operands);

} // namespace orvik_compiler
