#pragma once

// The rule of every operation kind: how many operands it reads, which operand types and shapes it
// accepts and the type and shape of its output. The builder applies it when it appends an op,
// and the interpreter applies it again to ops it did not see being built, so that both always
// agree.

#include "orvik_compiler/graph.hpp"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace orvik_compiler {

/// What a rule reads of each operand and gives of the output.
struct TensorType {
  std::vector<std::uint64_t> shape;
  DType dtype;
  friend bool operator==(const TensorType&, const TensorType&) = default;
};

/// The product of the extents, 1 for an empty shape, 0 when an extent is 0. Throws
/// std::overflow_error ("tensor element count overflows 64 bits") when it does not fit 64 bits.
std::uint64_t element_count(std::span<const std::uint64_t> shape);

/// The type of the output of an op named `name` of kind `kind` over operands of the types
/// `operands`, in operand order, or the builder's error naming `name`. The checks run in this
/// order:
/// - the operand count: "{name}: expects 2 operands, got 1" or "{name}: expects 1 operand, got
///   2" (the builder always passes the right number, so only ops assembled by hand meet this;
///   a `Concat` of no operands is an "incompatible concat");
/// - the operand types: data movement (`Reshape`, `Transpose`, `Broadcast`, `Slice`, `Concat`)
///   takes either type, all operands of the first one's, and gives it; `Gather` takes a table of
///   either type, I32 indices, and gives the table's type; `Cast` takes either type and gives
///   its own; every other kind takes and gives F32. "{name}: operand {i} is I32, expected F32"
///   (or the mirror), `i` counting from 0, otherwise;
/// - the shapes, each kind's message as its builder method documents it. `Add`, `Mul` and the
///   other binary element-wise kinds never broadcast; `LayerNorm`, `Gelu`, the unary
///   element-wise kinds and `Cast` accept any shape.
/// Throws std::overflow_error only for a reshape or a broadcast whose operand's or target's
/// element count does not fit 64 bits, and for a concat whose joined extent does not.
Result<TensorType> output_type(const std::string& name, const OpKind& kind,
                               std::span<const TensorType> operands);

} // namespace orvik_compiler
