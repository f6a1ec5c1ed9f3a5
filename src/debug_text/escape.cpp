// The string escapes of the debug text.

#include "orvik_compiler/debug_text.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <ostream>

namespace orvik_compiler {
namespace {

struct CodePointRange {
  char32_t first;
  char32_t last;
};

constexpr CodePointRange escaped_code_points[] = {
#include "escaped_code_points.inc"
};

bool is_escaped(char32_t code_point) {
  const auto* range = std::upper_bound(
      std::begin(escaped_code_points), std::end(escaped_code_points), code_point,
      [](char32_t point, const CodePointRange& candidate) { return point < candidate.first; });
  return range != std::begin(escaped_code_points) && code_point <= std::prev(range)->last;
}

struct Decoded {
  char32_t code_point;
  std::size_t length;
};

/// Decodes one well-formed UTF-8 sequence at the start of `text`, or nothing when the bytes
/// there do not begin one (overlong forms, surrogates and values past U+10FFFF included).
std::optional<Decoded> decode_utf8(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) {
    return Decoded{lead, 1};
  }
  std::size_t length = 0;
  char32_t code_point = 0;
  unsigned char second_low = 0x80;
  unsigned char second_high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code_point = lead & 0x1FU;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code_point = lead & 0x0FU;
    second_low = lead == 0xE0 ? 0xA0 : 0x80;
    second_high = lead == 0xED ? 0x9F : 0xBF;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code_point = lead & 0x07U;
    second_low = lead == 0xF0 ? 0x90 : 0x80;
    second_high = lead == 0xF4 ? 0x8F : 0xBF;
  } else {
    return std::nullopt;
  }
  if (text.size() < length) {
    return std::nullopt;
  }
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned char continuation = byte(i);
    const unsigned char low = i == 1 ? second_low : 0x80;
    const unsigned char high = i == 1 ? second_high : 0xBF;
    if (continuation < low || continuation > high) {
      return std::nullopt;
    }
    code_point = (code_point << 6U) | (continuation & 0x3FU);
  }
  return Decoded{code_point, length};
}

void write_hex(std::ostream& out, std::uint32_t value, int min_digits) {
  constexpr std::string_view digits = "0123456789abcdef";
  std::array<char, 8> buffer{};
  int count = 0;
  do {
    buffer[static_cast<std::size_t>(count++)] = digits[value & 0xFU];
    value >>= 4U;
  } while (value != 0 || count < min_digits);
  while (count > 0) {
    out << buffer[static_cast<std::size_t>(--count)];
  }
}

} // namespace

bool is_well_formed_utf8(std::string_view text) {
  while (!text.empty()) {
    const std::optional<Decoded> decoded = decode_utf8(text);
    if (!decoded) {
      return false;
    }
    text.remove_prefix(decoded->length);
  }
  return true;
}

namespace {

/// Writes `text` with the debug text's escapes; a `message` keeps its line breaks, quotes and
/// backslashes as they are.
void write_escapes(std::ostream& out, std::string_view text, bool message) {
  while (!text.empty()) {
    const std::optional<Decoded> decoded = decode_utf8(text);
    if (!decoded) {
      out << "\\x";
      write_hex(out, static_cast<unsigned char>(text.front()), 2);
      text.remove_prefix(1);
      continue;
    }
    const char32_t point = decoded->code_point;
    if (message && (point == U'"' || point == U'\\' || point == U'\n')) {
      out << text.substr(0, decoded->length);
      text.remove_prefix(decoded->length);
      continue;
    }
    switch (point) {
    case U'"':
      out << "\\\"";
      break;
    case U'\\':
      out << "\\\\";
      break;
    case U'\t':
      out << "\\t";
      break;
    case U'\r':
      out << "\\r";
      break;
    case U'\n':
      out << "\\n";
      break;
    case U'\0':
      out << "\\0";
      break;
    default:
      if (is_escaped(point)) {
        out << "\\u{";
        write_hex(out, static_cast<std::uint32_t>(point), 1);
        out << '}';
      } else {
        out << text.substr(0, decoded->length);
      }
    }
    text.remove_prefix(decoded->length);
  }
}

} // namespace

std::ostream& write_escaped(std::ostream& out, std::string_view text) {
  out << '"';
  write_escapes(out, text, false);
  return out << '"';
}

std::ostream& write_printable(std::ostream& out, std::string_view text) {
  write_escapes(out, text, true);
  return out;
}

} // namespace orvik_compiler
