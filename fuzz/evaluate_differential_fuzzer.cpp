// Bytes become a random graph over every kind and both element types, with values for its inputs
// and weights; the interpreter and the plain loops must then agree: the same outputs of the same
// types and bits (any NaN matching any NaN), or the same error.

#include "finding.hpp"

#include "testing/plain_evaluate.hpp"
#include "testing/random_graphs.hpp"

#include <orvik_compiler/orvik_compiler.hpp>

#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cmath>
#include <sstream>
#include <string>
#include <type_traits>
#include <variant>

namespace {

using namespace orvik_compiler;

/// The value's bits, every NaN as one pattern.
std::vector<std::uint32_t> comparable(const TensorData& data) {
  std::vector<std::uint32_t> result;
  std::visit(
      [&](const auto& values) {
        for (const auto value : values) {
          if constexpr (std::is_same_v<std::remove_cvref_t<decltype(value)>, float>) {
            result.push_back(std::isnan(value) ? 0x7FC00000U : std::bit_cast<std::uint32_t>(value));
          } else {
            result.push_back(std::bit_cast<std::uint32_t>(value));
          }
        }
      },
      data);
  return result;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const testing::RandomGraphLimits limits{
      in.ConsumeIntegralInRange<std::size_t>(1, 12),
      in.ConsumeIntegralInRange<std::uint64_t>(1, 512),
      in.ConsumeIntegralInRange<std::uint64_t>(1, 24),
  };
  const testing::RandomGraph random = testing::random_graph(
      [&in](std::uint64_t low, std::uint64_t high) {
        return in.ConsumeIntegralInRange<std::uint64_t>(low, high);
      },
      limits);
  const std::vector<TensorValue> values = random.values();
  const Result<std::vector<TensorData>> expected = testing::plain_evaluate(random.graph, values);
  const Result<std::vector<TensorData>> actual = evaluate_typed(random.graph, values);

  const auto graph_text = [&random] {
    std::ostringstream text;
    text << random.graph;
    return text.str();
  };
  if (expected.has_value() != actual.has_value()) {
    finding("one side failed, the other did not, on " + graph_text() + ": " +
            (expected ? actual.error().message : expected.error().message));
  }
  if (!expected) {
    if (actual.error() != expected.error()) {
      finding("different errors: \"" + actual.error().message + "\" instead of \"" +
              expected.error().message + "\" on " + graph_text());
    }
    return 0;
  }
  if (actual->size() != expected->size()) {
    finding("a different output count on " + graph_text());
  }
  for (std::size_t i = 0; i < actual->size(); ++i) {
    if ((*actual)[i].index() != (*expected)[i].index() ||
        comparable((*actual)[i]) != comparable((*expected)[i])) {
      finding("output " + std::to_string(i) + " differs from the plain loops on " + graph_text());
    }
  }
  return 0;
}
