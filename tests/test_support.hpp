#pragma once

// Helpers shared by the test files.

#include <orvik_compiler/orvik_compiler.hpp>

#include <catch2/catch.hpp>

#include <sstream>
#include <string>

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

} // namespace orvik_compiler::testing
