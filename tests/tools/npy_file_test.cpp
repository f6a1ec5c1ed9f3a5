// The .npy reader and writer: NumPy's layout, round trips, and every malformed file.

#include "orvik/npy_file.hpp"

#include <catch2/catch.hpp>

#include <bit>
#include <cmath>
#include <limits>
#include <type_traits>
#include <variant>

namespace orvik_tool {
namespace {

/// A version 1.0 file around `header` (padded as given) and the raw `data`.
std::string npy_bytes(const std::string& header, const std::string& data,
                      std::string_view version = std::string_view("\x01\x00", 2)) {
  std::string bytes = std::string("\x93NUMPY") + std::string(version);
  bytes.push_back(static_cast<char>(header.size() & 0xFFU));
  bytes.push_back(static_cast<char>(header.size() >> 8U));
  return bytes + header + data;
}

/// The little-endian bytes of `values`.
template <class T>
std::string little_endian_bytes(const std::vector<T>& values) {
  std::string bytes;
  for (const T value : values) {
    const auto bits = std::bit_cast<std::make_unsigned_t<T>>(value);
    for (unsigned shift = 0; shift < 8 * sizeof(T); shift += 8) {
      bytes.push_back(static_cast<char>((bits >> shift) & 0xFFU));
    }
  }
  return bytes;
}

std::string float_bytes(std::initializer_list<float> values) {
  std::string bytes;
  for (const float value : values) {
    bytes += little_endian_bytes(std::vector{std::bit_cast<std::int32_t>(value)});
  }
  return bytes;
}

/// The values of an array that must hold floats.
const std::vector<float>& floats(const NpyArray& array) {
  REQUIRE(std::holds_alternative<std::vector<float>>(array.values));
  return std::get<std::vector<float>>(array.values);
}

/// The values of an array that must hold 32-bit integers.
const std::vector<std::int32_t>& integers(const NpyArray& array) {
  REQUIRE(std::holds_alternative<std::vector<std::int32_t>>(array.values));
  return std::get<std::vector<std::int32_t>>(array.values);
}

TEST_CASE("a file as NumPy writes it reads back", "[npy]") {
  // np.save of np.array([[1, 2, 3], [4, 5, 6]], dtype=np.float32): the header padded with
  // blanks and a line feed so that the values start at byte 128.
  const std::string header = "{'descr': '<f4', 'fortran_order': False, 'shape': (2, 3), }";
  const std::string padded = header + std::string(128 - 10 - header.size() - 1, ' ') + "\n";
  const std::string bytes = npy_bytes(padded, float_bytes({1, 2, 3, 4, 5, 6}));
  const NpyArray array = *read_npy(bytes, "x.npy");
  CHECK(array.shape == std::vector<std::uint64_t>{2, 3});
  CHECK(floats(array) == std::vector<float>{1, 2, 3, 4, 5, 6});
  // The writer produces exactly these bytes.
  const std::vector<std::uint64_t> shape{2, 3};
  CHECK(write_npy(shape, floats(array)) == bytes);
}

TEST_CASE("written files read back with their shape and bits", "[npy]") {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  // A scalar, a vector (written (5,) as Python spells a one-element tuple), a matrix, and a
  // rank so high that the header needs version 2.0's four-byte length.
  const std::vector<std::vector<std::uint64_t>> shapes{
      {}, {5}, {2, 3}, {2, 1, 3}, std::vector<std::uint64_t>(30000, 1)};
  for (const std::vector<std::uint64_t>& shape : shapes) {
    std::uint64_t count = 1;
    for (const std::uint64_t extent : shape) {
      count *= extent;
    }
    std::vector<float> values;
    for (std::uint64_t i = 0; i < count; ++i) {
      values.push_back(i == 1 ? nan : static_cast<float>(i) - 0.5F);
    }
    INFO("rank " << shape.size());
    const std::string bytes = write_npy(shape, values);
    CHECK(bytes[6] == (shape.size() == 30000 ? 2 : 1));
    // The values start at a multiple of 64 bytes, right after the header's line feed.
    CHECK((bytes.size() - count * 4) % 64 == 0);
    CHECK(bytes[bytes.size() - count * 4 - 1] == '\n');
    const NpyArray array = *read_npy(bytes, "x.npy");
    CHECK(array.shape == shape);
    REQUIRE(floats(array).size() == values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
      CHECK(std::bit_cast<std::uint32_t>(floats(array)[i]) ==
            std::bit_cast<std::uint32_t>(values[i]));
    }
  }
  CHECK(write_npy(std::vector<std::uint64_t>{5}, std::vector<float>(5)).find("'shape': (5,)") !=
        std::string::npos);
}

TEST_CASE("headers NumPy may write in other spellings are read", "[npy]") {
  // Keys in another order, double quotes, no trailing comma, and version 3.0.
  const std::string header = R"({"shape": (1,2), "fortran_order": False, "descr": "<f4"})";
  std::string bytes = std::string("\x93NUMPY\x03\x00", 8);
  for (unsigned shift = 0; shift < 32; shift += 8) {
    bytes.push_back(static_cast<char>(((header.size() + 1) >> shift) & 0xFFU));
  }
  bytes += header + "\n" + float_bytes({7, 8});
  const NpyArray array = *read_npy(bytes, "x.npy");
  CHECK(array.shape == std::vector<std::uint64_t>{1, 2});
  CHECK(floats(array) == std::vector<float>{7, 8});
}

TEST_CASE("integer files: int32 read and written as NumPy does, int64 narrowed", "[npy]") {
  constexpr std::int32_t lowest = std::numeric_limits<std::int32_t>::min();
  constexpr std::int32_t highest = std::numeric_limits<std::int32_t>::max();
  // np.save of np.array([[0, -1], [lowest, highest]], dtype=np.int32).
  const std::string header = "{'descr': '<i4', 'fortran_order': False, 'shape': (2, 2), }";
  const std::string padded = header + std::string(128 - 10 - header.size() - 1, ' ') + "\n";
  const std::string bytes =
      npy_bytes(padded, little_endian_bytes<std::int32_t>({0, -1, lowest, highest}));
  const NpyArray array = *read_npy(bytes, "ids.npy");
  CHECK(array.shape == std::vector<std::uint64_t>{2, 2});
  CHECK(integers(array) == std::vector<std::int32_t>{0, -1, lowest, highest});
  CHECK(write_npy(array.shape, integers(array)) == bytes);

  // int64, as NumPy saves integer arrays by default, holds the same values in eight bytes each.
  const std::string wide = npy_bytes("{'descr': '<i8', 'fortran_order': False, 'shape': (4,), }\n",
                                     little_endian_bytes<std::int64_t>({7, -7, lowest, highest}));
  CHECK(integers(*read_npy(wide, "ids.npy")) == std::vector<std::int32_t>{7, -7, lowest, highest});

  // The first value outside the 32-bit range is named with its index.
  struct Case {
    std::vector<std::int64_t> values;
    std::string message;
  };
  const std::vector<Case> cases{
      {{0, 1, 2, std::int64_t{1} << 32}, "value 4294967296 at index 3 does not fit int32"},
      {{std::int64_t{highest} + 1, -1}, "value 2147483648 at index 0 does not fit int32"},
      {{1, std::int64_t{lowest} - 1, std::int64_t{1} << 40},
       "value -2147483649 at index 1 does not fit int32"},
  };
  for (const Case& c : cases) {
    const std::string file = npy_bytes("{'descr': '<i8', 'fortran_order': False, 'shape': (" +
                                           std::to_string(c.values.size()) + ",), }\n",
                                       little_endian_bytes(c.values));
    const ToolResult<NpyArray> result = read_npy(file, "ids.npy");
    REQUIRE(!result);
    CHECK(result.failure().exit_status == exit_usage_error);
    CHECK(result.failure().message == "orvik: error: ids.npy: " + c.message);
  }
}

TEST_CASE("each malformed file is refused with what is wrong", "[npy]") {
  const std::string good = "{'descr': '<f4', 'fortran_order': False, 'shape': (2,), }\n";
  const std::string two = float_bytes({1, 2});
  struct Case {
    const char* what;
    std::string bytes;
    std::string message;
  };
  const std::vector<Case> cases{
      {"empty", "", "not a .npy file"},
      {"other magic", "\x93NUMPX\x01\x00\x00\x00", "not a .npy file"},
      {"too short for its length field", std::string("\x93NUMPY\x02\x00\x01", 9),
       "not a .npy file"},
      {"version 4.0", npy_bytes(good, two, std::string_view("\x04\x00", 2)),
       "unsupported .npy version 4.0"},
      {"version 1.1", npy_bytes(good, two, std::string_view("\x01\x01", 2)),
       "unsupported .npy version 1.1"},
      {"cut inside the header", npy_bytes(good, two).substr(0, 30),
       "malformed header: the file ends inside the header"},
      {"not a dictionary", npy_bytes("['<f4']\n", two),
       "malformed header: it does not start with '{'"},
      {"a key missing", npy_bytes("{'descr': '<f4', 'shape': (2,)}\n", two),
       "malformed header: it needs 'descr', 'fortran_order' and 'shape'"},
      {"an unknown key",
       npy_bytes("{'descr': '<f4', 'fortran_order': False, 'shape': (2,), 'x': 1}\n", two),
       "malformed header: unknown key 'x'"},
      {"a shape that is not a tuple",
       npy_bytes("{'descr': '<f4', 'fortran_order': False, 'shape': [2]}\n", two),
       "malformed header: 'shape' is not a tuple of integers"},
      {"a negative extent",
       npy_bytes("{'descr': '<f4', 'fortran_order': False, 'shape': (-2,)}\n", two),
       "malformed header: 'shape' is not a tuple of integers"},
      {"an order that is not a boolean",
       npy_bytes("{'descr': '<f4', 'fortran_order': 0, 'shape': (2,)}\n", two),
       "malformed header: 'fortran_order' is not True or False"},
      {"an unquoted type", npy_bytes("{'descr': f4, 'fortran_order': False, 'shape': (2,)}\n", two),
       "malformed header: 'descr' is not a string"},
      {"text after the dictionary", npy_bytes(good + "x", two),
       "malformed header: text after the dictionary"},
      {"a missing comma",
       npy_bytes("{'descr': '<f4' 'fortran_order': False, 'shape': (2,)}\n", two),
       "malformed header: expected ',' or '}' at byte 16"},
      {"doubles", npy_bytes("{'descr': '<f8', 'fortran_order': False, 'shape': (2,)}\n", two),
       "element type '<f8' is not '<f4', '<i4' or '<i8'"},
      {"big-endian floats",
       npy_bytes("{'descr': '>f4', 'fortran_order': False, 'shape': (2,)}\n", two),
       "element type '>f4' is not '<f4', '<i4' or '<i8'"},
      {"16-bit integers",
       npy_bytes("{'descr': '<i2', 'fortran_order': False, 'shape': (2,)}\n", two),
       "element type '<i2' is not '<f4', '<i4' or '<i8'"},
      {"int64 values missing",
       npy_bytes("{'descr': '<i8', 'fortran_order': False, 'shape': (2,)}\n", two),
       "holds 8 bytes of values, its shape [2] needs 16"},
      {"int64 values past 64 bits of bytes",
       npy_bytes("{'descr': '<i8', 'fortran_order': False, 'shape': (2305843009213693952,)}\n",
                 two),
       "its shape [2305843009213693952] does not fit 64 bits"},
      {"Fortran order", npy_bytes("{'descr': '<f4', 'fortran_order': True, 'shape': (2,)}\n", two),
       "Fortran order is not supported"},
      {"values missing", npy_bytes(good, float_bytes({1})),
       "holds 4 bytes of values, its shape [2] needs 8"},
      {"values left over", npy_bytes(good, float_bytes({1, 2, 3})),
       "holds 12 bytes of values, its shape [2] needs 8"},
      {"a shape past 64 bits",
       npy_bytes("{'descr': '<f4', 'fortran_order': False, 'shape': (4294967296, 4294967296)}\n",
                 two),
       "its shape [4294967296, 4294967296] does not fit 64 bits"},
  };
  for (const Case& c : cases) {
    INFO(c.what);
    const ToolResult<NpyArray> result = read_npy(c.bytes, "x.npy");
    REQUIRE(!result);
    CHECK(result.failure().exit_status == exit_usage_error);
    CHECK(result.failure().message == "orvik: error: x.npy: " + c.message);
  }
}

} // namespace
} // namespace orvik_tool
