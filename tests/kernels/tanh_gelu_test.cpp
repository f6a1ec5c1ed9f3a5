// tanh and GELU over arrays against the scalar functions, bit for bit (NaN payloads included), on
// values of every exponent; and the probe check that guards the vector paths.

#include "kernels/kernels.hpp"
#include "test_support.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <sstream>
#include <string>

namespace orvik_compiler {
namespace {

using Kernel = void (*)(std::span<const float>, std::span<float>);

/// Empty when `result` has the bits of `expected`, NaN payloads included; otherwise the count of
/// values that differ and the first of them (a short message where millions of values are
/// compared).
std::string differences(std::span<const float> values, std::span<const float> result,
                        std::span<const float> expected) {
  std::size_t count = 0;
  std::size_t first = 0;
  for (std::size_t i = expected.size(); i-- > 0;) {
    if (std::bit_cast<std::uint32_t>(result[i]) != std::bit_cast<std::uint32_t>(expected[i])) {
      ++count;
      first = i;
    }
  }
  if (count == 0) {
    return {};
  }
  std::ostringstream text;
  text << std::hexfloat << count << " differ, first at " << values[first] << ": " << result[first]
       << " instead of " << expected[first];
  return text.str();
}

/// Every 1024th bit pattern, each with different low mantissa bits, then the probe values and
/// two values past the last full vector so that the tail is computed too.
std::vector<float> values_of_every_exponent() {
  constexpr std::uint32_t count = 1U << 22;
  std::vector<float> values;
  values.reserve(count + 64);
  for (std::uint32_t i = 0; i < count; ++i) {
    values.push_back(std::bit_cast<float>((i << 10U) | (i * 37U % 1024U)));
  }
  const std::vector<float> probes = kernels::tanh_probe_values();
  values.insert(values.end(), probes.begin(), probes.end());
  values.insert(values.end(), {0.25F, -3.0F});
  return values;
}

std::vector<float> mapped(std::span<const float> values, const std::function<float(float)>& f) {
  std::vector<float> result(values.size());
  std::transform(values.begin(), values.end(), result.begin(), f);
  return result;
}

TEST_CASE("tanh and GELU over arrays have the scalar functions' bits on every exponent",
          "[kernels][differential]") {
  const std::vector<float> values = values_of_every_exponent();
  const std::vector<float> tanh_expected = mapped(values, [](float x) { return std::tanh(x); });
  const std::vector<float> gelu_expected = mapped(values, kernels::gelu);

  std::vector<float> result(values.size());
  kernels::apply(kernels::UnaryFunction::tanh, values, result);
  CHECK(differences(values, result, tanh_expected) == "");
  kernels::gelu_values(values, result);
  CHECK(differences(values, result, gelu_expected) == "");
  std::vector<float> in_place = values;
  kernels::gelu_values(in_place, in_place);
  CHECK(differences(values, in_place, gelu_expected) == "");
  std::vector<float> too_long(values.size() + 1);
  CHECK_THROWS_AS(kernels::gelu_values(values, too_long), std::out_of_range);
  CHECK_THROWS_AS(kernels::apply(kernels::UnaryFunction::tanh, values, too_long),
                  std::out_of_range);

#if defined(__GLIBC__)
  // The vector paths themselves: this C library's tanhf is the algorithm they reproduce.
  struct Path {
    const char* name;
    bool available;
    Kernel tanh;
    Kernel gelu;
  };
  const Path paths[] = {
      {"AVX-512", kernels::processor_has_avx512(), kernels::tanh_avx512, kernels::gelu_avx512},
      {"AVX2", kernels::processor_has_avx2(), kernels::tanh_avx2, kernels::gelu_avx2},
  };
  for (const Path& path : paths) {
    if (!path.available) {
      continue;
    }
    INFO(path.name);
    path.tanh(values, result);
    CHECK(differences(values, result, tanh_expected) == "");
    path.gelu(values, result);
    CHECK(differences(values, result, gelu_expected) == "");
  }
#endif
}

TEST_CASE("the probe values reach every branch of tanh and of its expm1", "[kernels]") {
  // Ranges of |x| by bit pattern, inclusive; k is expm1's exponent for the argument 2|x|.
  struct Branch {
    const char* name;
    std::uint32_t low;
    std::uint32_t high;
  };
  const Branch branches[] = {
      {"zero", 0x00000000, 0x00000000},         {"subnormal", 0x00000001, 0x007fffff},
      {"below 2^-55", 0x00800000, 0x23ffffff},  {"expm1 of its argument", 0x24000000, 0x327fffff},
      {"k = 0", 0x32800000, 0x3e317218},        {"k = -1", 0x3e317219, 0x3f051591},
      {"k = -2", 0x3f051592, 0x3f5d0000},       {"k = -3", 0x3f600000, 0x3f7fffff},
      {"2 <= k <= 22", 0x3f800000, 0x40f7ffff}, {"23 <= k <= 56", 0x40f9999a, 0x419c7fff},
      {"57 <= k", 0x419d0000, 0x41afffff},      {"22 and above", 0x41b00000, 0x7f7fffff},
      {"infinity", 0x7f800000, 0x7f800000},     {"NaN", 0x7f800001, 0x7fffffff},
  };
  const std::vector<float> probes = kernels::tanh_probe_values();
  for (const Branch& branch : branches) {
    INFO(branch.name);
    for (const bool negative : {false, true}) {
      INFO((negative ? "negative" : "positive"));
      CHECK(std::any_of(probes.begin(), probes.end(), [&](float probe) {
        const std::uint32_t bits = std::bit_cast<std::uint32_t>(probe);
        const std::uint32_t magnitude = bits & 0x7fffffffU;
        return (bits >> 31U == 1U) == negative && magnitude >= branch.low &&
               magnitude <= branch.high;
      }));
    }
  }
}

TEST_CASE("the probe check takes std::tanh's exact bits and nothing else", "[kernels]") {
  const std::vector<float> probes = kernels::tanh_probe_values();
  const std::vector<float> exact = mapped(probes, [](float x) { return std::tanh(x); });
  CHECK(kernels::tanh_probes_match(exact));
  CHECK_FALSE(kernels::tanh_probes_match(std::span(exact).first(exact.size() - 1)));
  // Each alteration equals the exact result as a value, or differs in one unit in the last place.
  struct Alteration {
    const char* name;
    std::function<bool(float)> applies;
    std::function<float(float)> altered;
  };
  const Alteration alterations[] = {
      {"+0 for -0", [](float x) { return x == 0 && std::signbit(x); }, [](float) { return 0.0F; }},
      {"another NaN payload", [](float x) { return std::isnan(x); },
       [](float y) { return std::bit_cast<float>(std::bit_cast<std::uint32_t>(y) ^ 1U); }},
      {"one unit off below 1", [](float x) { return x == 0.5F; },
       [](float y) { return std::nextafter(y, 1.0F); }},
      {"one unit off near 22", [](float x) { return x == -19.68F; },
       [](float y) { return std::nextafter(y, 0.0F); }},
  };
  for (const Alteration& alteration : alterations) {
    INFO(alteration.name);
    const auto probe = std::find_if(probes.begin(), probes.end(), alteration.applies);
    REQUIRE(probe != probes.end());
    std::vector<float> results = exact;
    float& result = results[static_cast<std::size_t>(probe - probes.begin())];
    result = alteration.altered(result);
    CHECK_FALSE(kernels::tanh_probes_match(results));
  }
}

} // namespace
} // namespace orvik_compiler
