#pragma once

// How the tool carries a failure: the exit status it ends with and the line it prints, in place
// of the value where a step yields one, and of nothing where it yields none.

#include <cctype>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace orvik_tool {

/// The tool's exit statuses.
constexpr int exit_success = 0;
/// The graph does not compile or evaluate, or cannot be written as a graph file.
constexpr int exit_compile_error = 1;
/// A usage error, a graph file that cannot be read, or an output file that cannot be written.
constexpr int exit_usage_error = 2;

/// Why the tool stops: the status it exits with and the whole line, without its newline, that
/// it prints on standard error.
struct ToolFailure {
  int exit_status = exit_usage_error;
  std::string message;
};

/// A failure of the tool's own, its message prefixed "orvik: error: " like every message the
/// tool writes about itself; diagnostics of a graph file name the file instead.
inline ToolFailure tool_error(int exit_status, std::string_view what) {
  return {exit_status, "orvik: error: " + std::string(what)};
}

/// The system's description of an `errno` value, lower-case like the tool's own messages:
/// "permission denied", "no space left on device".
inline std::string error_reason(int error) {
  std::string reason = std::strerror(error);
  if (!reason.empty()) {
    reason.front() = static_cast<char>(std::tolower(static_cast<unsigned char>(reason.front())));
  }
  return reason;
}

/// Either a `T` or the failure that stands in its place. Reading the one that is not there
/// throws std::bad_variant_access.
template <class T>
class [[nodiscard]] ToolResult {
public:
  ToolResult(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  ToolResult(ToolFailure failure) : state_(std::in_place_index<1>, std::move(failure)) {}

  explicit operator bool() const noexcept { return state_.index() == 0; }

  T& operator*() & { return std::get<0>(state_); }
  const T& operator*() const& { return std::get<0>(state_); }
  T* operator->() { return &std::get<0>(state_); }
  const T* operator->() const { return &std::get<0>(state_); }

  const ToolFailure& failure() const& { return std::get<1>(state_); }

private:
  std::variant<T, ToolFailure> state_;
};

/// The outcome of a step that yields nothing: success, or the failure. Reading the failure of
/// a success throws std::bad_optional_access.
template <>
class [[nodiscard]] ToolResult<void> {
public:
  /// Success.
  ToolResult() = default;
  ToolResult(ToolFailure failure) : failure_(std::move(failure)) {}

  explicit operator bool() const noexcept { return !failure_.has_value(); }

  const ToolFailure& failure() const& { return failure_.value(); }

private:
  std::optional<ToolFailure> failure_;
};

} // namespace orvik_tool
