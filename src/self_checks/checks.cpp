// The self-checks.

#include "checks.hpp"

#include "orvik_compiler/orvik_compiler.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <sstream>
#include <utility>

namespace orvik_compiler::tests {
namespace {

/// The sum of the reference result for the configuration and input of the reference check:
/// the float with bits 0x42D6EDB0.
constexpr float reference_sum = 107.464233F;
constexpr float reference_tolerance = 1e-4F;

/// The value of a result that must have succeeded.
template <class T>
T require_success(Result<T> result) {
  if (!result) {
    std::ostringstream text;
    text << "required success, got the error " << result.error();
    throw CheckFailure(text.str());
  }
  return std::move(result).value();
}

std::ostream& write_value(std::ostream& out, const std::vector<float>& values) {
  out << '[';
  for (std::size_t i = 0; i < values.size(); ++i) {
    out << (i == 0 ? "" : ", ") << values[i];
  }
  return out << ']';
}

template <class T>
std::ostream& write_value(std::ostream& out, const T& value) {
  return out << value;
}

/// The equality assertion: on failure both values in their debug text.
template <class Left, class Right>
void require_equal(const Left& left, const Right& right) {
  if (left == right) {
    return;
  }
  std::ostringstream text;
  text.precision(std::numeric_limits<float>::max_digits10);
  text << "assertion `left == right` failed\n  left: ";
  write_value(text, left) << "\n right: ";
  write_value(text, right);
  throw CheckFailure(text.str());
}

void require(bool condition, const char* failure_text) {
  if (!condition) {
    throw CheckFailure(failure_text);
  }
}

} // namespace

void encoder_graph_compiles_deterministically() {
  const Graph graph = require_success(encoder_graph(EncoderConfig{}));
  const Schedule first = require_success(compile(graph, CompilerOptions{}));
  const Schedule second = require_success(compile(graph, CompilerOptions{}));
  require_equal(first, second);
  require_equal(graph.ops.size(), std::size_t{15});
  require(first.phases.size() >= graph.ops.size(),
          "assertion failed: first.phases.len() >= graph.ops.len()");
  require(std::all_of(first.peak_sram.begin(), first.peak_sram.end(),
                      [](const auto& entry) { return entry.second < 0x8e000U; }),
          "assertion failed: first.peak_sram.values().all(|peak| *peak < 0x8e000)");
}

void live_allocations_do_not_overlap() {
  const Graph graph = require_success(encoder_graph(EncoderConfig{}));
  const Schedule schedule = require_success(compile(graph, CompilerOptions{}));
  const std::vector<Allocation>& allocations = schedule.allocations;
  for (std::size_t i = 0; i < allocations.size(); ++i) {
    for (std::size_t j = i + 1; j < allocations.size(); ++j) {
      const Allocation& left = allocations[i];
      const Allocation& right = allocations[j];
      if (left.tile != right.tile ||
          !lifetimes_overlap(left.live_from, left.live_until, right.live_from, right.live_until)) {
        continue;
      }
      // The sums are 32-bit, as the blocks' own fields are.
      const std::uint32_t left_end = left.address + left.size;
      const std::uint32_t right_end = right.address + right.size;
      require(left_end <= right.address || right_end <= left.address,
              "assertion failed: left.address + left.size <= right.address ||\n"
              "    right.address + right.size <= left.address");
    }
  }
}

void encoder_reference_is_finite_and_repeatable() {
  const EncoderConfig config{4, 8, 2, 16};
  std::vector<float> input;
  for (int i = 0; i < 32; ++i) {
    input.push_back((static_cast<float>(i) - 9.0F) / 16.0F);
  }
  const EncoderWeights weights = EncoderWeights::deterministic(config);
  const std::vector<float> first = require_success(encoder_reference(config, input, weights));
  const std::vector<float> second = require_success(encoder_reference(config, input, weights));
  require_equal(first, second);
  require(std::all_of(first.begin(), first.end(), [](float value) { return std::isfinite(value); }),
          "assertion failed: first.iter().all(|value| value.is_finite())");
  float sum = -0.0F;
  for (const float value : first) {
    sum = sum + value;
  }
  require(std::fabs(sum - reference_sum) < reference_tolerance,
          "assertion failed: (first.iter().sum::<f32>() - 107.464233).abs() < 1e-4");
}

} // namespace orvik_compiler::tests
