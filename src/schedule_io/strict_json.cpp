// Strict JSON reading: nesting, syntax and duplicate keys.

#include "strict_json.hpp"

#include <orvik_compiler/debug_text.hpp>

#include <algorithm>
#include <optional>
#include <sstream>
#include <vector>

namespace orvik_compiler::schedule_io {
namespace {

using nlohmann::json;

/// Line and column (both from 1) of the byte at `offset`.
std::pair<std::size_t, std::size_t> line_and_column(std::string_view text, std::size_t offset) {
  std::size_t line = 1;
  std::size_t column = 1;
  for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return {line, column};
}

std::string located(std::string_view file, std::string_view text, std::size_t offset,
                    std::string_view message) {
  const auto [line, column] = line_and_column(text, offset);
  std::ostringstream out;
  out << file << ':' << line << ':' << column << ": error: " << message;
  return out.str();
}

/// The offset of the first bracket nested deeper than `max_nesting`, if any.
std::optional<std::size_t> too_deep(std::string_view text, std::size_t max_nesting) {
  std::size_t depth = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > max_nesting) {
        return i;
      }
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return std::nullopt;
}

/// The parser's own description of a syntax error, without its type tag and position prefix.
std::string parse_message(const json::exception& error) {
  std::string_view what = error.what();
  if (const std::size_t tag = what.find("] "); tag != std::string_view::npos) {
    what.remove_prefix(tag + 2);
  }
  if (what.rfind("parse error", 0) == 0) {
    if (const std::size_t colon = what.find(": "); colon != std::string_view::npos) {
      what.remove_prefix(colon + 2);
    }
  }
  return std::string(what);
}

/// Builds the document as the JSON library's own parser does, through its event interface, but
/// stops at the first key that its object already has, where that parser would let the second
/// overwrite the first. Keeps where a syntax error or a number beyond the range of a double
/// stands: the parser reports the offset of either, so that no text needs to be searched for.
class StrictDocument {
public:
  /// What stopped the parser: the diagnostic's message and the byte offset it is reported at,
  /// none for a duplicate key, which its path locates.
  struct Failure {
    std::string message;
    std::optional<std::size_t> offset;
  };

  /// The document, once the parser has accepted all of the text.
  const json& document() const { return root_; }
  const Failure& failure() const { return failure_; }

  bool null() { return add(nullptr); }
  bool boolean(bool value) { return add(value); }
  bool number_integer(json::number_integer_t value) { return add(value); }
  bool number_unsigned(json::number_unsigned_t value) { return add(value); }
  bool number_float(json::number_float_t value, const json::string_t&) { return add(value); }
  bool string(json::string_t& value) { return add(std::move(value)); }
  bool binary(json::binary_t& value) { return add(std::move(value)); }
  bool start_object(std::size_t) {
    open_.push_back(&place(json::object()));
    return true;
  }
  bool key(json::string_t& name) {
    json& object = *open_.back();
    if (object.contains(name)) {
      failure_ = {"duplicate key " + member_path(path_of_innermost(), name), std::nullopt};
      return false;
    }
    member_ = &object[name];
    return true;
  }
  bool end_object() {
    open_.pop_back();
    return true;
  }
  bool start_array(std::size_t) {
    open_.push_back(&place(json::array()));
    return true;
  }
  bool end_array() {
    open_.pop_back();
    return true;
  }
  bool parse_error(std::size_t position, const std::string& token, const json::exception& error) {
    // `position` counts the bytes read: up to and including the offending one for a syntax
    // error, up to the end of the number for a number out of range, which is reported where
    // its text starts.
    constexpr int number_out_of_range = 406;
    std::size_t offset = position > 0 ? position - 1 : 0;
    if (error.id == number_out_of_range && token.size() <= position) {
      offset = position - token.size();
    }
    failure_ = {parse_message(error), offset};
    return false;
  }

private:
  /// Puts `value` where the parser is: the document itself, the next element of the innermost
  /// array, or the member whose key came last.
  json& place(json value) {
    if (open_.empty()) {
      root_ = std::move(value);
      return root_;
    }
    json& container = *open_.back();
    if (container.is_array()) {
      container.push_back(std::move(value));
      return container.back();
    }
    *member_ = std::move(value);
    return *member_;
  }

  bool add(json value) {
    place(std::move(value));
    return true;
  }

  /// The JSON path of the innermost open object or array. An open value stays where it is,
  /// since its container only grows once it is closed.
  std::string path_of_innermost() const {
    std::string path = "$";
    for (std::size_t depth = 1; depth < open_.size(); ++depth) {
      const json& parent = *open_[depth - 1];
      if (parent.is_array()) {
        const json::array_t& elements = parent.get_ref<const json::array_t&>();
        path += "[" + std::to_string(open_[depth] - elements.data()) + "]";
        continue;
      }
      for (const auto& [name, value] : parent.items()) {
        if (&value == open_[depth]) {
          path = member_path(std::move(path), name);
          break;
        }
      }
    }
    return path;
  }

  json root_;
  /// The objects and arrays that have started and not ended, outermost first.
  std::vector<json*> open_;
  /// The member of the innermost object whose key came last.
  json* member_ = nullptr;
  Failure failure_;
};

} // namespace

std::string member_path(std::string parent, std::string_view key) {
  const auto letter = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
  };
  const auto letter_or_digit = [&](char c) { return letter(c) || (c >= '0' && c <= '9'); };
  if (!key.empty() && letter(key.front()) && std::all_of(key.begin(), key.end(), letter_or_digit)) {
    return parent + "." + std::string(key);
  }
  std::ostringstream quoted;
  write_escaped(quoted, key);
  return parent + "[" + quoted.str() + "]";
}

Result<json> parse_strict_json(std::string_view text, std::string_view file,
                               std::size_t max_nesting) {
  if (const std::optional<std::size_t> offset = too_deep(text, max_nesting)) {
    return CompileError::graph(located(
        file, text, *offset, "nesting deeper than " + std::to_string(max_nesting) + " levels"));
  }
  StrictDocument parsed;
  if (!json::sax_parse(text, &parsed)) {
    const StrictDocument::Failure& failure = parsed.failure();
    return CompileError::graph(failure.offset
                                   ? located(file, text, *failure.offset, failure.message)
                                   : std::string(file) + ": error: " + failure.message);
  }
  return parsed.document();
}

} // namespace orvik_compiler::schedule_io
