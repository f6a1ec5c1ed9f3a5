#pragma once

// Shared pieces of the structural debug text: arrays in brackets and the record frame
// `Name { field: value, field: value }`.

#include "orvik_compiler/debug_text.hpp"

#include <ostream>
#include <string_view>

namespace orvik_compiler::debug_text {

/// A string field, written quoted and escaped.
struct Quoted {
  std::string_view text;
};

inline std::ostream& operator<<(std::ostream& out, Quoted quoted) {
  return write_escaped(out, quoted.text);
}

/// Writes the elements of `range` between square brackets, separated by ", ".
template <class Range>
std::ostream& write_list(std::ostream& out, const Range& range) {
  out << '[';
  bool first = true;
  for (const auto& element : range) {
    if (!first) {
      out << ", ";
    }
    first = false;
    out << element;
  }
  return out << ']';
}

/// Writes a record as `Name { field: value, ... }` from (name, value) pairs given in order.
class Record {
public:
  Record(std::ostream& out, std::string_view name) : out_(out) { out_ << name << " {"; }
  Record(const Record&) = delete;
  Record& operator=(const Record&) = delete;
  ~Record() { out_ << " }"; }

  /// Writes one field with the value's own `operator<<`.
  template <class Value>
  Record& field(std::string_view name, const Value& value) {
    begin(name);
    out_ << value;
    return *this;
  }

  /// Writes one array field.
  template <class Range>
  Record& list(std::string_view name, const Range& range) {
    begin(name);
    write_list(out_, range);
    return *this;
  }

  /// Starts a field whose value the caller writes to the returned stream.
  std::ostream& begin(std::string_view name) {
    out_ << (first_ ? " " : ", ") << name << ": ";
    first_ = false;
    return out_;
  }

private:
  std::ostream& out_;
  bool first_ = true;
};

} // namespace orvik_compiler::debug_text
