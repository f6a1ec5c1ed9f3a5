// Bytes become a name in the debug text. The escaped text must be printable, well-formed UTF-8
// between quotes, and must decode back to exactly the bytes it came from.

#include "finding.hpp"

#include <orvik_compiler/graph.hpp>

#include <cstdlib>
#include <iostream>
#include <optional>
#include <sstream>

namespace {

void append_utf8(std::string& out, char32_t point) {
  if (point < 0x80) {
    out += static_cast<char>(point);
  } else if (point < 0x800) {
    out += static_cast<char>(0xC0 | (point >> 6));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else if (point < 0x10000) {
    out += static_cast<char>(0xE0 | (point >> 12));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (point >> 18));
    out += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  }
}

/// Checks that `text` is well-formed UTF-8 without control characters.
void require_printable(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    std::size_t length = byte < 0x80 ? 1 : byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : 2;
    if (byte < 0x20 || byte == 0x7F || (byte >= 0x80 && byte < 0xC2) || byte > 0xF4 ||
        i + length > text.size()) {
      finding("escaped text holds a control character or a bad lead byte");
    }
    for (std::size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
        finding("escaped text is not well-formed UTF-8");
      }
    }
    if (length == 2 && byte == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
      finding("escaped text holds a C1 control character");
    }
    i += length;
  }
}

std::uint32_t hex_value(std::string_view digits) {
  std::uint32_t value = 0;
  for (const char c : digits) {
    value = value * 16 + static_cast<std::uint32_t>(c <= '9' ? c - '0' : c - 'a' + 10);
  }
  return value;
}

/// Undoes the escapes of the debug text.
std::string unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    const char kind = text.at(++i);
    switch (kind) {
    case '"':
    case '\\':
      out += kind;
      break;
    case 't':
      out += '\t';
      break;
    case 'r':
      out += '\r';
      break;
    case 'n':
      out += '\n';
      break;
    case '0':
      out += '\0';
      break;
    case 'x':
      out += static_cast<char>(hex_value(text.substr(i + 1, 2)));
      i += 2;
      break;
    case 'u': {
      const std::size_t close = text.find('}', i);
      append_utf8(out, hex_value(text.substr(i + 2, close - i - 2)));
      i = close;
      break;
    }
    default:
      finding("an unknown escape");
    }
  }
  return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view name(reinterpret_cast<const char*>(data), size);
  std::ostringstream out;
  orvik_compiler::write_escaped(out, name);
  const std::string escaped = out.str();
  if (escaped.size() < 2 || escaped.front() != '"' || escaped.back() != '"') {
    finding("escaped text is not quoted");
  }
  require_printable(escaped);
  if (unescape(std::string_view(escaped).substr(1, escaped.size() - 2)) != name) {
    finding("escaped text does not decode to its bytes");
  }
  return 0;
}
