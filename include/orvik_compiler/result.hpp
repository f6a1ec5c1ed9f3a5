#pragma once

// The library's one error type and the value-or-error result that every fallible operation
// returns.

#include <cstdint>
#include <iosfwd>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

namespace orvik_compiler {

/// The error of every fallible operation: `Graph` for anything wrong with a graph or a request,
/// `Memory` for memory-planning failures only. The message is a fixed text or a template filled
/// with decimal numbers and names.
struct CompileError {
  enum class Kind : std::uint8_t { Graph, Memory };

  Kind kind = Kind::Graph;
  std::string message;

  static CompileError graph(std::string message) { return {Kind::Graph, std::move(message)}; }
  static CompileError memory(std::string message) { return {Kind::Memory, std::move(message)}; }

  friend bool operator==(const CompileError&, const CompileError&) = default;
};

/// The name of an error kind as the debug text writes it: "Graph" or "Memory".
std::string_view kind_name(CompileError::Kind kind);

/// Debug text: the variant name and the message as an escaped, double-quoted string, for
/// example Graph("graph has no outputs").
std::ostream& operator<<(std::ostream& out, const CompileError& error);

/// Thrown by `Result::value()` when the result holds an error: reading a value that is not
/// there is a caller error, never undefined behaviour.
class BadResultAccess : public std::logic_error {
public:
  explicit BadResultAccess(const CompileError& error);
  const CompileError& error() const noexcept { return error_; }

private:
  CompileError error_;
};

/// Either a `T` or a `CompileError`, with the interface of std::expected.
template <class T>
class [[nodiscard]] Result {
public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(CompileError error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool has_value() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  T& value() & { return checked(), std::get<0>(state_); }
  const T& value() const& { return checked(), std::get<0>(state_); }
  T&& value() && { return checked(), std::get<0>(std::move(state_)); }

  /// The error; calling it on a success is a caller error and throws std::logic_error.
  const CompileError& error() const& {
    if (has_value()) {
      throw std::logic_error("result holds a value, not an error");
    }
    return std::get<1>(state_);
  }

  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  friend bool operator==(const Result&, const Result&) = default;

private:
  void checked() const {
    if (!has_value()) {
      throw BadResultAccess(std::get<1>(state_));
    }
  }

  std::variant<T, CompileError> state_;
};

/// The result of an operation that yields nothing on success.
template <>
class [[nodiscard]] Result<void> {
public:
  Result() = default;
  Result(CompileError error) : error_(std::move(error)), failed_(true) {}

  bool has_value() const noexcept { return !failed_; }
  explicit operator bool() const noexcept { return has_value(); }

  void value() const {
    if (failed_) {
      throw BadResultAccess(error_);
    }
  }

  const CompileError& error() const& {
    if (!failed_) {
      throw std::logic_error("result holds a value, not an error");
    }
    return error_;
  }

  void operator*() const { value(); }

  friend bool operator==(const Result&, const Result&) = default;

private:
  CompileError error_;
  bool failed_ = false;
};

} // namespace orvik_compiler
