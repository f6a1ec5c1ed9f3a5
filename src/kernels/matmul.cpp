// The matrix product, computed in blocks. Each result element is still one sum over k in
// increasing order, every product and sum rounded; the blocks only decide how many of those sums
// run side by side.
// The library is built with -ffp-contract=off, so no product is fused into its addition.

#include "kernels.hpp"

#include "../checked_arithmetic.hpp"
#include "require_length.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>

namespace orvik_compiler::kernels {
namespace {

/// A tile of the result held in registers while k runs: `Rows` x `Vectors` vectors of `Lanes`,
/// and the blocks the operands are packed in around it.
template <class LanesType, std::size_t Rows, std::size_t Vectors, std::size_t DepthBlock,
          std::size_t RowBlock, std::size_t ColumnBlock>
struct Tiling {
  using Lanes = LanesType;
  static constexpr std::size_t lane_count = sizeof(Lanes) / sizeof(float);
  static constexpr std::size_t rows = Rows;
  static constexpr std::size_t vectors = Vectors;
  static constexpr std::size_t columns = Vectors * lane_count;
  /// Values of k per pass over a tile: a panel of `right` this deep stays in the first-level
  /// cache beside the panel of `left`.
  static constexpr std::size_t depth_block = DepthBlock;
  /// Rows of `left` packed at once, kept in the second-level cache.
  static constexpr std::size_t row_block = RowBlock;
  /// Columns of `right` packed at once.
  static constexpr std::size_t column_block = ColumnBlock;
  static_assert(row_block % rows == 0 && column_block % columns == 0);
};

/// 16 x 16 sums in sixteen of the thirty-two AVX-512 registers. One instruction multiplies a
/// whole row of the tile by a broadcast value of `left` read from memory, so a step of k takes
/// half the instructions of the AVX2 tile, and 16 rows divide the sequence lengths models use.
using Avx512Tiling = Tiling<float __attribute__((vector_size(64))), 16, 1, 384, 128, 1024>;
/// 6 x 16 sums in twelve of the sixteen AVX registers.
using Avx2Tiling = Tiling<float __attribute__((vector_size(32))), 6, 2, 256, 120, 512>;
/// 6 x 8 sums in twelve of the sixteen SSE registers, which every x86-64 processor has.
using GenericTiling = Tiling<float __attribute__((vector_size(16))), 6, 2, 256, 120, 512>;

/// Continues the sums of one tile of the result over `depth` values of k. `left_panel` holds
/// Tile::rows values per k, `right_panel` Tile::columns values per k. The sums start at +0.0 when
/// `first`, otherwise at the values stored in the tile. Only `rows` x `columns` of the tile are
/// read and written; the rest of the registers work on the panels' zero padding.
template <class Tile>
[[gnu::always_inline]] inline void
multiply_tile(const float* left_panel, const float* right_panel, std::size_t depth, float* tile,
              std::size_t tile_step, std::size_t rows, std::size_t columns, bool first) {
  using Lanes = typename Tile::Lanes;
  Lanes sums[Tile::rows][Tile::vectors];
  const bool whole = rows == Tile::rows && columns == Tile::columns;
  float staged[Tile::rows][Tile::columns] = {};
  if (!first && !whole) {
    for (std::size_t i = 0; i < rows; ++i) {
      std::memcpy(staged[i], tile + i * tile_step, columns * sizeof(float));
    }
  }
  for (std::size_t i = 0; i < Tile::rows; ++i) {
    for (std::size_t j = 0; j < Tile::vectors; ++j) {
      if (first) {
        sums[i][j] = Lanes{};
      } else if (whole) {
        std::memcpy(&sums[i][j], tile + i * tile_step + j * Tile::lane_count, sizeof(Lanes));
      } else {
        std::memcpy(&sums[i][j], &staged[i][j * Tile::lane_count], sizeof(Lanes));
      }
    }
  }
  for (std::size_t k = 0; k < depth; ++k) {
    // Each vector is loaded on its own, so that the compiler keeps it in a register.
    Lanes right[Tile::vectors];
    for (std::size_t j = 0; j < Tile::vectors; ++j) {
      std::memcpy(&right[j], right_panel + k * Tile::columns + j * Tile::lane_count, sizeof(Lanes));
    }
    for (std::size_t i = 0; i < Tile::rows; ++i) {
      const float left = left_panel[k * Tile::rows + i];
      for (std::size_t j = 0; j < Tile::vectors; ++j) {
        const Lanes product = left * right[j];
        sums[i][j] = product + sums[i][j];
      }
    }
  }
  for (std::size_t i = 0; i < Tile::rows; ++i) {
    for (std::size_t j = 0; j < Tile::vectors; ++j) {
      if (whole) {
        std::memcpy(tile + i * tile_step + j * Tile::lane_count, &sums[i][j], sizeof(Lanes));
      } else {
        std::memcpy(&staged[i][j * Tile::lane_count], &sums[i][j], sizeof(Lanes));
      }
    }
  }
  if (whole) {
    return;
  }
  for (std::size_t i = 0; i < rows; ++i) {
    std::memcpy(tile + i * tile_step, staged[i], columns * sizeof(float));
  }
}

/// Copies rows [row, row + rows) and k in [k0, k0 + depth) of `left` into panels of Tile::rows
/// rows, k-major within a panel, padding the last panel with zeros.
template <class Tile>
[[gnu::always_inline]] inline void pack_left(const MatrixView& left, std::size_t row,
                                             std::size_t rows, std::size_t k0, std::size_t depth,
                                             float* packed) {
  const float* values = left.values.data();
  for (std::size_t panel = 0; panel * Tile::rows < rows; ++panel) {
    float* out = packed + panel * depth * Tile::rows;
    for (std::size_t i = 0; i < Tile::rows; ++i) {
      const std::size_t r = panel * Tile::rows + i;
      if (r >= rows) {
        for (std::size_t k = 0; k < depth; ++k) {
          out[k * Tile::rows + i] = 0.0F;
        }
        continue;
      }
      const float* source = values + (row + r) * left.row_step + k0 * left.column_step;
      for (std::size_t k = 0; k < depth; ++k) {
        out[k * Tile::rows + i] = source[k * left.column_step];
      }
    }
  }
}

/// Copies k in [k0, k0 + depth) and columns [column, column + columns) of `right` into panels
/// of Tile::columns columns, one row of a panel per k, padding the last panel with zeros. Rows
/// of `right` are read one after the other, so the reads stream however wide `right` is. Panels
/// lie `panel_stride(depth)` values apart, one row more than they hold: were they a multiple of
/// 4 KiB apart, the writes of one row of `right` would all fall in the same set of the
/// first-level cache and evict each other.
template <class Tile>
constexpr std::size_t panel_stride(std::size_t depth) {
  return (depth + 1) * Tile::columns;
}

template <class Tile>
[[gnu::always_inline]] inline void pack_right(const MatrixView& right, std::size_t k0,
                                              std::size_t depth, std::size_t column,
                                              std::size_t columns, float* packed) {
  const float* values = right.values.data();
  const std::size_t whole_panels = columns / Tile::columns * Tile::columns;
  const std::size_t stride = panel_stride<Tile>(depth);
  for (std::size_t k = 0; k < depth; ++k) {
    const float* source = values + (k0 + k) * right.row_step + column * right.column_step;
    float* row = packed + k * Tile::columns;
    if (right.column_step == 1) {
      for (std::size_t first = 0; first < whole_panels; first += Tile::columns) {
        std::memcpy(row + first / Tile::columns * stride, source + first,
                    Tile::columns * sizeof(float));
      }
    } else {
      for (std::size_t first = 0; first < whole_panels; first += Tile::columns) {
        for (std::size_t j = 0; j < Tile::columns; ++j) {
          row[first / Tile::columns * stride + j] = source[(first + j) * right.column_step];
        }
      }
    }
    if (whole_panels < columns) {
      float* last = row + whole_panels / Tile::columns * stride;
      const std::size_t width = columns - whole_panels;
      for (std::size_t j = 0; j < Tile::columns; ++j) {
        last[j] = j < width ? source[(whole_panels + j) * right.column_step] : 0.0F;
      }
    }
  }
}

/// The whole product, block by block: columns in blocks of Tile::column_block, k in blocks
/// of Tile::depth_block (every block of k after the first continuing from the stored sums), rows in
/// blocks of Tile::row_block, then tile by tile.
template <class Tile>
[[gnu::always_inline]] inline void multiply_blocks(const MatrixView& left, const MatrixView& right,
                                                   float* result, std::size_t result_row_step,
                                                   std::size_t rows, std::size_t inner,
                                                   std::size_t columns) {
  if (inner == 0) {
    for (std::size_t r = 0; r < rows; ++r) {
      std::fill_n(result + r * result_row_step, columns, 0.0F);
    }
    return;
  }
  const std::size_t depth_capacity = std::min(inner, Tile::depth_block);
  const auto round_up = [](std::size_t count, std::size_t multiple) {
    return (count + multiple - 1) / multiple * multiple;
  };
  // Packing writes every value the tiles read, padding included, so nothing is zeroed first.
  const auto packed_left = std::make_unique_for_overwrite<float[]>(
      depth_capacity * round_up(std::min(rows, Tile::row_block), Tile::rows));
  const auto packed_right = std::make_unique_for_overwrite<float[]>(
      panel_stride<Tile>(depth_capacity) *
      (round_up(std::min(columns, Tile::column_block), Tile::columns) / Tile::columns));
  for (std::size_t column = 0; column < columns; column += Tile::column_block) {
    const std::size_t block_columns = std::min(Tile::column_block, columns - column);
    for (std::size_t k0 = 0; k0 < inner; k0 += Tile::depth_block) {
      const std::size_t depth = std::min(Tile::depth_block, inner - k0);
      pack_right<Tile>(right, k0, depth, column, block_columns, packed_right.get());
      for (std::size_t row = 0; row < rows; row += Tile::row_block) {
        const std::size_t block_rows = std::min(Tile::row_block, rows - row);
        pack_left<Tile>(left, row, block_rows, k0, depth, packed_left.get());
        for (std::size_t j = 0; j < block_columns; j += Tile::columns) {
          const float* right_panel =
              packed_right.get() + j / Tile::columns * panel_stride<Tile>(depth);
          for (std::size_t i = 0; i < block_rows; i += Tile::rows) {
            float* tile = result + (row + i) * result_row_step + column + j;
            multiply_tile<Tile>(packed_left.get() + i * depth, right_panel, depth, tile,
                                result_row_step, std::min(Tile::rows, block_rows - i),
                                std::min(Tile::columns, block_columns - j), k0 == 0);
          }
        }
      }
    }
  }
}

/// The bytes of the two panels `multiply_blocks` allocates at their largest.
template <class Tile>
constexpr std::uint64_t panel_bytes() {
  return (Tile::depth_block * Tile::row_block +
          panel_stride<Tile>(Tile::depth_block) * (Tile::column_block / Tile::columns)) *
         sizeof(float);
}

/// The number of values a view must hold so that its `rows` x `columns` elements lie inside.
std::uint64_t view_extent(std::uint64_t rows, std::uint64_t columns, std::uint64_t row_step,
                          std::uint64_t column_step) {
  if (rows == 0 || columns == 0) {
    return 0;
  }
  const std::uint64_t last_row = checked::multiply(rows - 1, row_step, "matmul index");
  const std::uint64_t last_column = checked::multiply(columns - 1, column_step, "matmul index");
  return checked::add(checked::add(last_row, last_column, "matmul index"), 1, "matmul index");
}

} // namespace

void matmul_into_generic(MatrixView left, MatrixView right, std::span<float> result,
                         std::uint64_t result_row_step, std::uint64_t rows, std::uint64_t inner,
                         std::uint64_t columns) {
  multiply_blocks<GenericTiling>(left, right, result.data(), result_row_step, rows, inner, columns);
}

__attribute__((target("avx512f"))) void matmul_into_avx512(MatrixView left, MatrixView right,
                                                           std::span<float> result,
                                                           std::uint64_t result_row_step,
                                                           std::uint64_t rows, std::uint64_t inner,
                                                           std::uint64_t columns) {
  multiply_blocks<Avx512Tiling>(left, right, result.data(), result_row_step, rows, inner, columns);
}

__attribute__((target("avx2"))) void matmul_into_avx2(MatrixView left, MatrixView right,
                                                      std::span<float> result,
                                                      std::uint64_t result_row_step,
                                                      std::uint64_t rows, std::uint64_t inner,
                                                      std::uint64_t columns) {
  multiply_blocks<Avx2Tiling>(left, right, result.data(), result_row_step, rows, inner, columns);
}

bool processor_has_avx2() {
  return __builtin_cpu_supports("avx2") != 0;
}

std::uint64_t matmul_panel_bytes() {
  return std::max(
      {panel_bytes<Avx512Tiling>(), panel_bytes<Avx2Tiling>(), panel_bytes<GenericTiling>()});
}

bool processor_has_avx512() {
  return __builtin_cpu_supports("avx512f") != 0;
}

void matmul_into(MatrixView left, MatrixView right, std::span<float> result,
                 std::uint64_t result_row_step, std::uint64_t rows, std::uint64_t inner,
                 std::uint64_t columns) {
  require_length(result.size(), view_extent(rows, columns, result_row_step, 1), "matmul", "result");
  // The operands are read only when there is something to write.
  if (rows == 0 || columns == 0) {
    return;
  }
  require_length(left.values.size(), view_extent(rows, inner, left.row_step, left.column_step),
                 "matmul", "left");
  require_length(right.values.size(),
                 view_extent(inner, columns, right.row_step, right.column_step), "matmul", "right");
  if (processor_has_avx512()) {
    matmul_into_avx512(left, right, result, result_row_step, rows, inner, columns);
  } else if (processor_has_avx2()) {
    matmul_into_avx2(left, right, result, result_row_step, rows, inner, columns);
  } else {
    matmul_into_generic(left, right, result, result_row_step, rows, inner, columns);
  }
}

std::vector<float> matmul(std::span<const float> left, std::span<const float> right,
                          std::uint64_t rows, std::uint64_t inner, std::uint64_t columns) {
  const std::uint64_t result_size =
      checked::float_count(checked::multiply(rows, columns, "matmul result size"), "matmul result");
  // The loops read `left` only when there are columns and `right` only when there are rows.
  if (result_size != 0) {
    require_length(left.size(), checked::multiply(rows, inner, "matmul"), "matmul", "left");
    require_length(right.size(), checked::multiply(inner, columns, "matmul"), "matmul", "right");
  }
  std::vector<float> result(result_size, 0.0F);
  matmul_into({left, inner}, {right, columns}, result, columns, rows, inner, columns);
  return result;
}

} // namespace orvik_compiler::kernels
