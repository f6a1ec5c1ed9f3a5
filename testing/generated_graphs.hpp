#pragma once

// Random but reproducible graphs.

#include <orvik_compiler/orvik_compiler.hpp>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace orvik_compiler::testing {

/// A graph of `op_count` builder operations over rank-2 tensors of up to `max_extent` rows and
/// columns, with one to three outputs. The same seed always gives the same graph.
Graph generated_graph(std::uint64_t seed, std::size_t op_count, std::uint64_t max_extent);

/// An input "x" of 4 elements and `length` GELUs, each reading the one before; the last is the
/// output. Every value lives for two phases, on one tile.
Graph gelu_chain(std::size_t length);

/// A graph whose weights take every tile count from 1 to `tile_counts` once, in an order drawn
/// from `seed`: weight i, of shape 256 x c_i and so c_i KiB, multiplies a 1 x 256 value drawn
/// from those made so far, so values stay live over long stretches; after about every third
/// product a new value is made from earlier ones. Compiling it on `tile_counts` tiles or more
/// gives as many distinct tile counts, each weight living from phase 0 to its product.
Graph generated_tile_counts(std::uint64_t seed, std::size_t tile_counts);

} // namespace orvik_compiler::testing
