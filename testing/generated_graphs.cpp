// Random graphs and schedule invariants for the property tests.

#include "testing/generated_graphs.hpp"

#include <algorithm>
#include <map>
#include <numeric>
#include <sstream>

namespace orvik_compiler::testing {
namespace {

template <class Rng>
std::uint64_t pick(Rng& rng, std::uint64_t low, std::uint64_t high) {
  return std::uniform_int_distribution<std::uint64_t>(low, high)(rng);
}

} // namespace

Graph generated_graph(std::uint64_t seed, std::size_t op_count, std::uint64_t max_extent) {
  std::mt19937_64 rng(seed);
  Graph graph;
  const auto extent = [&] { return pick(rng, 1, max_extent); };
  graph.input("input", {extent(), extent()});
  while (graph.ops.size() < op_count) {
    const TensorId operand{pick(rng, 0, graph.tensors.size() - 1)};
    const std::vector<std::uint64_t> shape = graph.tensors[operand.index].shape;
    // Appended rather than concatenated: g++ 12 warns falsely on "t" + std::string.
    std::string name = "t";
    name += std::to_string(graph.tensors.size());
    switch (pick(rng, 0, 6)) {
    case 0: {
      std::string weight_name = "w";
      weight_name += name;
      const TensorId weight = graph.weight(std::move(weight_name), {shape[1], extent()});
      (void)graph.matmul(name, operand, weight);
      break;
    }
    case 1:
      (void)graph.add(name, operand, operand);
      break;
    case 2:
      (void)graph.transpose(name, operand, {1, 0});
      break;
    case 3:
      (void)graph.softmax(name, operand, pick(rng, 0, 1));
      break;
    case 4:
      (void)graph.layer_norm(name, operand, 1e-5F);
      break;
    case 5:
      (void)graph.gelu(name, operand);
      break;
    default: {
      const TensorId other{pick(rng, 0, graph.tensors.size() - 1)};
      (void)graph.mul(name, operand, other); // fails unless the shapes agree, as intended
      break;
    }
    }
  }
  const std::uint64_t outputs = pick(rng, 1, 3);
  for (std::uint64_t i = 0; i < outputs; ++i) {
    graph.mark_output(TensorId{pick(rng, 0, graph.tensors.size() - 1)});
  }
  return graph;
}

Graph gelu_chain(std::size_t length) {
  Graph graph;
  TensorId last = graph.input("x", {4});
  for (std::size_t i = 0; i < length; ++i) {
    std::string name = "g";
    name += std::to_string(i);
    last = graph.gelu(std::move(name), last).value();
  }
  graph.mark_output(last);
  return graph;
}

Graph generated_tile_counts(std::uint64_t seed, std::size_t tile_counts) {
  std::mt19937_64 rng(seed);
  std::vector<std::uint64_t> counts(tile_counts);
  std::iota(counts.begin(), counts.end(), std::uint64_t{1});
  std::shuffle(counts.begin(), counts.end(), rng);
  Graph graph;
  std::vector<TensorId> values{graph.input("input", {1, 256})};
  const auto any_value = [&] { return values[pick(rng, 0, values.size() - 1)]; };
  TensorId product = values.front();
  for (std::size_t i = 0; i < counts.size(); ++i) {
    const std::string index = std::to_string(i);
    const TensorId weight = graph.weight("w" + index, {256, counts[i]});
    product = graph.matmul("p" + index, any_value(), weight).value();
    if (pick(rng, 0, 2) == 0) {
      values.push_back(pick(rng, 0, 1) == 0
                           ? graph.gelu("g" + index, any_value()).value()
                           : graph.add("a" + index, any_value(), any_value()).value());
    }
  }
  graph.mark_output(values.back());
  graph.mark_output(product);
  return graph;
}

} // namespace orvik_compiler::testing
