// The error type and its debug text, and the value-or-error result.

#include "test_support.hpp"

namespace orvik_compiler {
namespace {

using testing::debug;

TEST_CASE("a compile error prints its variant and its escaped message", "[result][debug]") {
  CHECK(debug(CompileError::memory("address overflow")) == R"(Memory("address overflow"))");
  CHECK(debug(CompileError::graph("graph has no outputs")) == R"(Graph("graph has no outputs"))");
  CHECK(debug(CompileError::graph("say \"hi\"")) == R"(Graph("say \"hi\""))");
  // The names that the Python module gives its exception's `kind`.
  CHECK(kind_name(CompileError::Kind::Graph) == "Graph");
  CHECK(kind_name(CompileError::Kind::Memory) == "Memory");
}

TEST_CASE("the result type behaves like a value-or-error", "[result]") {
  Result<int> value = 5;
  CHECK(value.has_value());
  CHECK(static_cast<bool>(value));
  CHECK(*value == 5);
  CHECK_THROWS_AS(value.error(), std::logic_error);

  const Result<int> error = CompileError::graph("bad");
  CHECK_FALSE(error);
  CHECK(error.error() == CompileError::graph("bad"));
  CHECK_THROWS_WITH(error.value(), R"(result holds an error: Graph("bad"))");

  Result<std::string> text = std::string("abc");
  CHECK(text->size() == 3);

  const Result<void> success;
  CHECK(success.has_value());
  const Result<void> failure = CompileError::memory("m");
  CHECK_THROWS_AS(failure.value(), BadResultAccess);
}

} // namespace
} // namespace orvik_compiler
