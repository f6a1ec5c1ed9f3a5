// The conversions between the two element types, and the text of a float in messages.

#include "kernels.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <iterator>
#include <stdexcept>

namespace orvik_compiler::kernels {
namespace {

/// Whether a float truncates to an I32: inside [-2^31, 2^31), both bounds exact in float.
/// NaN fails both comparisons, which are both made so that a loop over them has no branch.
bool fits_i32(float value) {
  return (value >= -2147483648.0F) & (value < 2147483648.0F);
}

} // namespace

std::vector<float> cast_to_f32(std::span<const std::int32_t> input) {
  std::vector<float> output(input.size());
  std::transform(input.begin(), input.end(), output.begin(),
                 [](std::int32_t value) { return static_cast<float>(value); });
  return output;
}

std::optional<float> first_outside_i32(std::span<const float> input) {
  // A flag over the whole array first, a loop that vectorises; the search only when it is set.
  std::uint32_t outside = 0;
  for (const float value : input) {
    outside |= fits_i32(value) ? 0U : 1U;
  }
  if (outside == 0) {
    return std::nullopt;
  }
  return *std::find_if_not(input.begin(), input.end(), fits_i32);
}

std::vector<std::int32_t> cast_to_i32(std::span<const float> input) {
  // One pass converts and flags; a value that does not fit converts as 0, since converting it
  // would be undefined, and is searched for only when the flag is set.
  std::vector<std::int32_t> output(input.size());
  std::uint32_t outside = 0;
  for (std::size_t i = 0; i < input.size(); ++i) {
    const bool fits = fits_i32(input[i]);
    outside |= fits ? 0U : 1U;
    output[i] = static_cast<std::int32_t>(fits ? input[i] : 0.0F);
  }
  if (outside != 0) {
    throw std::out_of_range("cast_to_i32: " + float_text(*first_outside_i32(input)) +
                            " does not fit I32");
  }
  return output;
}

std::string float_text(float value) {
  if (std::isnan(value)) {
    return "nan"; // the sign and payload of a NaN mean nothing here
  }
  // At most 9 significant digits, a sign, a point and an exponent: 15 characters.
  char text[32];
  const std::to_chars_result written = std::to_chars(std::begin(text), std::end(text), value);
  return {std::begin(text), written.ptr};
}

} // namespace orvik_compiler::kernels
