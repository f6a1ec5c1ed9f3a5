#pragma once

// Helpers shared by the test files.

#include <orvik_compiler/orvik_compiler.hpp>

#include <catch2/catch.hpp>

#include <bit>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <span>
#include <sstream>
#include <string>
#include <vector>

namespace orvik_compiler::testing {

/// The debug text of any record.
template <class T>
std::string debug(const T& value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

/// The value of a result that the test expects to succeed; fails the test with the error's
/// debug text otherwise.
template <class T>
T expect_value(Result<T> result) {
  if (!result) {
    FAIL("unexpected error " << debug(result.error()));
  }
  return std::move(result).value();
}

/// The error of a result that the test expects to fail.
template <class T>
CompileError expect_error(const Result<T>& result) {
  REQUIRE_FALSE(result.has_value());
  return result.error();
}

/// The verifier's diagnostic of `schedule`, empty when it keeps every rule, so that a failed
/// check shows the rule it broke.
inline std::string broken_rule(const Graph& graph, const CompilerOptions& options,
                               const Schedule& schedule) {
  const Result<void> verified = verify_schedule(graph, options, schedule);
  return verified ? std::string{} : verified.error().message;
}

/// Reproducible values in [-2, 2), with one value in `special_every` (if not 0) replaced in turn
/// by NaN, an infinity, a signed zero, a subnormal or a huge value.
inline std::vector<float> sample_values(std::size_t count, std::uint32_t seed,
                                        std::size_t special_every = 0) {
  constexpr float infinity = std::numeric_limits<float>::infinity();
  const float specials[] = {
      std::numeric_limits<float>::quiet_NaN(), infinity, -infinity, -0.0F, 1e-40F, 3e38F, -3e38F};
  std::vector<float> result(count);
  std::uint32_t state = seed * 2654435761U + 1U;
  for (std::size_t i = 0; i < count; ++i) {
    state = state * 1664525U + 1013904223U;
    result[i] = static_cast<float>(state >> 8U) / 4194304.0F - 2.0F;
    if (special_every != 0 && i % special_every == special_every - 1) {
      result[i] = specials[(i / special_every) % std::size(specials)];
    }
  }
  return result;
}

/// The bits of each value, every NaN as one pattern: which NaN a sum of two NaNs gives depends
/// on the operand order the compiler picks, and no kernel promises it.
inline std::vector<std::uint32_t> bits(std::span<const float> values) {
  std::vector<std::uint32_t> result;
  result.reserve(values.size());
  for (const float value : values) {
    result.push_back(std::isnan(value) ? 0x7FC00000U : std::bit_cast<std::uint32_t>(value));
  }
  return result;
}

} // namespace orvik_compiler::testing
