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

} // namespace orvik_compiler::testing
