// Reading and writing .npy files of little-endian floats and integers.

#include "npy_file.hpp"

#include "schedule_io/schedule_counts.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <limits>
#include <optional>
#include <type_traits>

namespace orvik_tool {
namespace {

constexpr std::string_view magic = "\x93NUMPY";
/// The magic, two version bytes and the shortest length field.
constexpr std::size_t preamble = magic.size() + 2;

/// A file that cannot be read, with what is wrong.
ToolFailure unreadable(std::string_view file, const std::string& what) {
  return tool_error(exit_usage_error, std::string(file) + ": " + what);
}

/// The fields of a header dictionary that matter here.
struct Header {
  std::optional<std::string> descr;
  std::optional<bool> fortran_order;
  std::optional<std::vector<std::uint64_t>> shape;
};

/// A reader of the Python dictionary literal that NumPy writes as the header, for example
/// {'descr': '<f4', 'fortran_order': False, 'shape': (3, 4), }: string keys, and values that
/// are strings, True or False, or tuples of non-negative integers.
class HeaderParser {
public:
  HeaderParser(std::string_view text, std::string_view file) : text_(text), file_(file) {}

  ToolResult<Header> parse() {
    Header header;
    skip_space();
    if (!take('{')) {
      return malformed("it does not start with '{'");
    }
    while (true) {
      skip_space();
      if (take('}')) {
        break;
      }
      std::optional<std::string> key = string();
      skip_space();
      if (!key || !take(':')) {
        return malformed("expected a quoted key and ':' at byte " + std::to_string(position_));
      }
      skip_space();
      if (*key == "descr") {
        header.descr = string();
        if (!header.descr) {
          return malformed("'descr' is not a string");
        }
      } else if (*key == "fortran_order") {
        header.fortran_order = boolean();
        if (!header.fortran_order) {
          return malformed("'fortran_order' is not True or False");
        }
      } else if (*key == "shape") {
        header.shape = tuple();
        if (!header.shape) {
          return malformed("'shape' is not a tuple of integers");
        }
      } else {
        return malformed("unknown key '" + *key + "'");
      }
      skip_space();
      if (!take(',')) {
        skip_space();
        if (!take('}')) {
          return malformed("expected ',' or '}' at byte " + std::to_string(position_));
        }
        break;
      }
    }
    skip_space();
    if (position_ != text_.size()) {
      return malformed("text after the dictionary");
    }
    if (!header.descr || !header.fortran_order || !header.shape) {
      return malformed("it needs 'descr', 'fortran_order' and 'shape'");
    }
    return header;
  }

private:
  ToolFailure malformed(const std::string& what) const {
    return unreadable(file_, "malformed header: " + what);
  }

  void skip_space() {
    while (position_ < text_.size() &&
           (text_[position_] == ' ' || text_[position_] == '\n' || text_[position_] == '\t')) {
      ++position_;
    }
  }

  bool take(char expected) {
    if (position_ < text_.size() && text_[position_] == expected) {
      ++position_;
      return true;
    }
    return false;
  }

  bool take_word(std::string_view word) {
    if (text_.substr(position_, word.size()) == word) {
      position_ += word.size();
      return true;
    }
    return false;
  }

  std::optional<std::string> string() {
    if (position_ >= text_.size() || (text_[position_] != '\'' && text_[position_] != '"')) {
      return std::nullopt;
    }
    const char quote = text_[position_++];
    const std::size_t end = text_.find(quote, position_);
    if (end == std::string_view::npos) {
      return std::nullopt;
    }
    std::string value(text_.substr(position_, end - position_));
    position_ = end + 1;
    return value;
  }

  std::optional<bool> boolean() {
    if (take_word("True")) {
      return true;
    }
    if (take_word("False")) {
      return false;
    }
    return std::nullopt;
  }

  std::optional<std::vector<std::uint64_t>> tuple() {
    if (!take('(')) {
      return std::nullopt;
    }
    std::vector<std::uint64_t> values;
    while (true) {
      skip_space();
      if (take(')')) {
        return values;
      }
      std::uint64_t value = 0;
      const char* first = text_.data() + position_;
      const char* last = text_.data() + text_.size();
      const auto [end, error] = std::from_chars(first, last, value);
      if (error != std::errc{} || end == first) {
        return std::nullopt;
      }
      position_ += static_cast<std::size_t>(end - first);
      values.push_back(value);
      skip_space();
      if (!take(',')) {
        skip_space();
        return take(')') ? std::optional(values) : std::nullopt;
      }
    }
  }

  std::string_view text_;
  std::string_view file_;
  std::size_t position_ = 0;
};

std::uint64_t little_endian(std::string_view bytes, std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t i = width; i-- > 0;) {
    value = (value << 8U) | static_cast<unsigned char>(bytes[i]);
  }
  return value;
}

void append_little_endian(std::string& out, std::uint64_t value, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) {
    out.push_back(static_cast<char>((value >> (8U * i)) & 0xFFU));
  }
}

/// The values' bytes, little-endian, into values of type T.
template <class T>
std::vector<T> decode(std::string_view bytes) {
  std::vector<T> values(bytes.size() / sizeof(T));
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(values.data(), bytes.data(), values.size() * sizeof(T));
  } else {
    using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
    for (std::size_t i = 0; i < values.size(); ++i) {
      values[i] = std::bit_cast<T>(
          static_cast<Bits>(little_endian(bytes.substr(i * sizeof(T)), sizeof(T))));
    }
  }
  return values;
}

/// 64-bit integers as 32-bit ones, or the first that does not fit.
ToolResult<std::vector<std::int32_t>> narrowed(std::string_view bytes, std::string_view file) {
  const std::vector<std::int64_t> wide = decode<std::int64_t>(bytes);
  std::vector<std::int32_t> values;
  values.reserve(wide.size());
  for (const std::int64_t value : wide) {
    if (value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
      return unreadable(file, "value " + std::to_string(value) + " at index " +
                                  std::to_string(values.size()) + " does not fit int32");
    }
    values.push_back(static_cast<std::int32_t>(value));
  }
  return values;
}

/// The element types read, by their 'descr', with their sizes.
struct ElementType {
  std::string_view descr;
  std::uint64_t size;
};
constexpr std::array<ElementType, 3> element_types{{{"<f4", 4}, {"<i4", 4}, {"<i8", 8}}};

/// The bytes of a .npy file of `descr` holding `data`, the values' little-endian bytes.
std::string npy_bytes(std::string_view descr, std::span<const std::uint64_t> shape,
                      std::string_view data) {
  std::string header = "{'descr': '" + std::string(descr) + "', 'fortran_order': False, 'shape': (";
  for (const std::uint64_t extent : shape) {
    header += std::to_string(extent) + (shape.size() == 1 ? ",)" : ", ");
  }
  if (shape.size() != 1) {
    if (!shape.empty()) {
      header.resize(header.size() - 2);
    }
    header += ")";
  }
  header += ", }";
  // Padding with spaces and a final line feed puts the values at a multiple of 64 bytes; the
  // longest padding is 63 bytes.
  const bool version_one = header.size() + 1 + 63 <= std::numeric_limits<std::uint16_t>::max();
  const std::size_t length_width = version_one ? 2 : 4;
  const std::size_t start = preamble + length_width + header.size() + 1;
  header.append((64 - start % 64) % 64, ' ');
  header += '\n';
  std::string out(magic);
  out.push_back(static_cast<char>(version_one ? 1 : 2));
  out.push_back(0);
  append_little_endian(out, header.size(), length_width);
  out += header;
  out += data;
  return out;
}

/// The little-endian bytes of 32-bit values.
template <class T>
std::string little_endian_bytes(std::span<const T> values) {
  static_assert(sizeof(T) == 4);
  if constexpr (std::endian::native == std::endian::little) {
    return std::string(reinterpret_cast<const char*>(values.data()), values.size_bytes());
  } else {
    std::string out;
    out.reserve(values.size_bytes());
    for (const T value : values) {
      append_little_endian(out, std::bit_cast<std::uint32_t>(value), 4);
    }
    return out;
  }
}

} // namespace

ToolResult<NpyArray> read_npy(std::string_view bytes, std::string_view file) {
  const auto refuse = [&](const std::string& what) { return unreadable(file, what); };
  if (bytes.size() < preamble + 2 || bytes.substr(0, magic.size()) != magic) {
    return refuse("not a .npy file");
  }
  const auto major = static_cast<unsigned char>(bytes[magic.size()]);
  const auto minor = static_cast<unsigned char>(bytes[magic.size() + 1]);
  if (major < 1 || major > 3 || minor != 0) {
    return refuse("unsupported .npy version " + std::to_string(major) + "." +
                  std::to_string(minor));
  }
  const std::size_t length_width = major == 1 ? 2 : 4;
  if (bytes.size() < preamble + length_width) {
    return refuse("not a .npy file");
  }
  const std::size_t header_length = little_endian(bytes.substr(preamble), length_width);
  const std::size_t data_start = preamble + length_width + header_length;
  if (bytes.size() < data_start) {
    return refuse("malformed header: the file ends inside the header");
  }
  ToolResult<Header> parsed =
      HeaderParser(bytes.substr(preamble + length_width, header_length), file).parse();
  if (!parsed) {
    return parsed.failure();
  }
  Header& header = *parsed;
  const auto type =
      std::find_if(element_types.begin(), element_types.end(),
                   [&](const ElementType& known) { return known.descr == *header.descr; });
  if (type == element_types.end()) {
    return refuse("element type '" + *header.descr + "' is not '<f4', '<i4' or '<i8'");
  }
  if (*header.fortran_order) {
    return refuse("Fortran order is not supported");
  }
  std::uint64_t needed = type->size;
  for (const std::uint64_t extent : *header.shape) {
    if (__builtin_mul_overflow(needed, extent, &needed)) {
      return refuse("its shape " + shape_text(*header.shape) + " does not fit 64 bits");
    }
  }
  const std::string_view data = bytes.substr(data_start);
  if (data.size() != needed) {
    return refuse("holds " + std::to_string(data.size()) + " bytes of values, its shape " +
                  shape_text(*header.shape) + " needs " + std::to_string(needed));
  }
  if (type->descr == "<f4") {
    return NpyArray{std::move(*header.shape), decode<float>(data)};
  }
  if (type->descr == "<i4") {
    return NpyArray{std::move(*header.shape), decode<std::int32_t>(data)};
  }
  ToolResult<std::vector<std::int32_t>> values = narrowed(data, file);
  if (!values) {
    return values.failure();
  }
  return NpyArray{std::move(*header.shape), std::move(*values)};
}

std::string write_npy(std::span<const std::uint64_t> shape, std::span<const float> values) {
  return npy_bytes("<f4", shape, little_endian_bytes(values));
}

std::string write_npy(std::span<const std::uint64_t> shape, std::span<const std::int32_t> values) {
  return npy_bytes("<i4", shape, little_endian_bytes(values));
}

std::uint64_t npy_size_bound(std::span<const std::uint64_t> shape) {
  using Bytes = orvik_compiler::schedule_io::ByteBound;
  // The magic, version and a 4-byte length; the dictionary's fixed text; each extent of up to
  // 20 digits and its separator; the padding and the line feed.
  constexpr std::uint64_t fixed = 12 + 57 + 1 + 64;
  Bytes elements{1};
  for (const std::uint64_t extent : shape) {
    elements = elements * Bytes{extent};
  }
  return (Bytes{fixed} + Bytes{22} * Bytes{shape.size()} + Bytes{4} * elements).value;
}

} // namespace orvik_tool
