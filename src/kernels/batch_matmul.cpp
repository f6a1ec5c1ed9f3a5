// Matrix products over leading batch axes, each batch computed by the blocked product on the
// operands where they lie.

#include "kernels.hpp"

#include "../checked_arithmetic.hpp"
#include "require_length.hpp"

namespace orvik_compiler::kernels {

std::vector<float> batch_matmul(std::span<const float> left, std::span<const float> right,
                                RightOperand right_operand, std::uint64_t batches,
                                std::uint64_t rows, std::uint64_t inner, std::uint64_t columns) {
  const std::uint64_t all_rows = checked::multiply(batches, rows, "batch_matmul");
  const std::uint64_t result_size = checked::float_count(
      checked::multiply(all_rows, columns, "batch_matmul result size"), "batch_matmul result");
  const std::uint64_t right_matrices = right_operand == RightOperand::shared ? 1 : batches;
  require_length(left.size(), checked::multiply(all_rows, inner, "batch_matmul"), "batch_matmul",
                 "left");
  require_length(right.size(),
                 checked::multiply(right_matrices,
                                   checked::multiply(inner, columns, "batch_matmul"),
                                   "batch_matmul"),
                 "batch_matmul", "right");
  std::vector<float> result(result_size);
  if (right_operand == RightOperand::shared) {
    // The batches of `left` lie one after the other, so together they are one matrix of
    // batches x rows rows, and each of its rows is multiplied by `right` alone.
    matmul_into({left, inner}, {right, columns}, result, columns, all_rows, inner, columns);
    return result;
  }
  const std::uint64_t left_step = rows * inner;
  const std::uint64_t right_step = inner * columns;
  const std::uint64_t result_step = rows * columns;
  for (std::uint64_t batch = 0; batch < batches; ++batch) {
    matmul_into({left.subspan(batch * left_step, left_step), inner},
                {right.subspan(batch * right_step, right_step), columns},
                std::span(result).subspan(batch * result_step, result_step), columns, rows, inner,
                columns);
  }
  return result;
}

} // namespace orvik_compiler::kernels
