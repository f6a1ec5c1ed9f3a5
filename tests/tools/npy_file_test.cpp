// The .npy reader and writer: NumPy's layout, round trips, and every malformed file.

#include "orvik/npy_file.hpp"

#include <catch2/catch.hpp>

#include <bit>
#include <cmath>
#include <limits>

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

std::string float_bytes(std::initializer_list<float> values) {
  std::string bytes;
  for (const float value : values) {
    const auto bits = std::bit_cast<std::uint32_t>(value);
    for (unsigned shift = 0; shift < 32; shift += 8) {
      bytes.push_back(static_cast<char>((bits >> shift) & 0xFFU));
    }
  }
  return bytes;
}

TEST_CASE("a file as NumPy writes it reads back", "[npy]") {
  // np.save of np.array([[1, 2, 3], [4, 5, 6]], dtype=np.float32): the header padded with
  // blanks and a line feed so that the values start at byte 128.
  const std::string header = "{'descr': '<f4', 'fortran_order': False, 'shape': (2, 3), }";
  const std::string padded = header + std::string(128 - 10 - header.size() - 1, ' ') + "\n";
  const std::string bytes = npy_bytes(padded, float_bytes({1, 2, 3, 4, 5, 6}));
  const NpyArray array = *read_npy(bytes, "x.npy");
  CHECK(array.shape == std::vector<std::uint64_t>{2, 3});
  CHECK(array.values == std::vector<float>{1, 2, 3, 4, 5, 6});
  // The writer produces exactly these bytes.
  const std::vector<std::uint64_t> shape{2, 3};
  CHECK(write_npy(shape, array.values) == bytes);
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
    REQUIRE(array.values.size() == values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
      CHECK(std::bit_cast<std::uint32_t>(array.values[i]) ==
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
  CHECK(array.values == std::vector<float>{7, 8});
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
       "element type '<f8' is not '<f4'"},
      {"big-endian floats",
       npy_bytes("{'descr': '>f4', 'fortran_order': False, 'shape': (2,)}\n", two),
       "element type '>f4' is not '<f4'"},
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
