// tanh and GELU: GELU of one value, and both over arrays.
//
// Over arrays they run the C library's single-precision tanh in vector lanes, with AVX-512 or
// AVX2. Each lane takes the same steps, in the same order and with the same roundings, as the
// classic scalar algorithm (tanh from expm1 of twice the argument, expm1 from a reduction by
// k ln 2 and a rational approximation), so every lane has the scalar function's bits. Branches
// become selections: every lane computes every step, and the lane's range picks the result. The
// library is built with -ffp-contract=off, so no product is fused into its addition.
//
// That holds only where std::tanh is that algorithm. So each call over an array first runs the
// vector tanh on the probe values, which reach every branch and both sides of every range
// boundary, and compares the results with std::tanh bit for bit; on any difference (a C library
// with another algorithm), and for short arrays, it takes the scalar loop. The check is made on
// every call, never cached: it costs a few dozen scalar calls.

#include "kernels.hpp"

#include "each_value.hpp"

#include "require_length.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

// The vector code is always inlined into the functions compiled for its instruction set: no
// vector crosses a call between code built for different sets, which is what -Wpsabi warns of
// (GCC reports it at the end of the file, so it stays off to the end).
#pragma GCC diagnostic ignored "-Wpsabi"

namespace orvik_compiler::kernels {
namespace {

constexpr float gelu_cubic = 0.044715F;
constexpr float sqrt_two_over_pi = 0.7978846F;

/// GELU's steps on one value or on the lanes of a vector, with `tanh` of the same kind.
template <class Values, class Tanh>
[[gnu::always_inline]] inline Values gelu_steps(const Values& value, Tanh tanh) {
  const Values half = 0.5F * value;
  const Values square = value * value;
  const Values cube = value * square;
  const Values scaled_cube = gelu_cubic * cube;
  const Values inner = value + scaled_cube;
  const Values argument = sqrt_two_over_pi * inner;
  const Values t = tanh(argument);
  const Values one_plus_t = 1.0F + t;
  return half * one_plus_t;
}

struct ScalarTanh {
  float operator()(float value) const { return std::tanh(value); }
};

/// Arrays shorter than this take the scalar loop: the probe check would cost more than it saves.
constexpr std::size_t vector_minimum = 1024;

/// Bit patterns of the probe values: both zeros, subnormals, each side of every range boundary of
/// tanh and of the expm1 inside it (2^-55, 2^-25 for expm1's argument 2|x|, 0.5 ln 2 and
/// 1.5 ln 2, 1, 22), arguments whose k is -3, -2, -1, 0, 3, 22, 23, 56 and 57, the largest
/// finite value, the infinities and quiet, signalling and negative NaNs; most with both signs.
constexpr std::array<std::uint32_t, 48> probe_bits = {
    0x00000000, 0x80000000, 0x00000001, 0x80800000, // zeros, smallest subnormal and normal
    0x23ffffff, 0xa4000000, 0x24000001, 0x327fffff, // 2^-55, expm1's 2^-25 at 2|x| = 2^-25
    0xb2800000, 0x3dcccccd, 0xbe2e147b, 0x3e317218, // k = 0 up to 0.5 ln 2 at 2|x|
    0xbe317219, 0x3e99999a, 0xbecccccd, 0x3f051591, // k = -1 up to 1.5 ln 2 at 2|x|
    0xbf051592, 0x3f333333, 0xbf59999a, 0x3f733333, // k = -2 and -3
    0xbf7fffff, 0x3f800000, 0xbfc00000, 0x40000000, // 1, k = 3 and up
    0xc0f00000, 0x40f66666, 0xc0f9999a, 0x41000000, // k = 22 (7.5, 7.7) and 23 (7.8, 8)
    0xc19a6666, 0x419c0000, 0xc19d70a4, 0x419f5c29, // k = 56 (19.3, 19.5) and 57 (19.68, 19.92)
    0xc1afffff, 0x41b00000, 0xc1b00001, 0x42c80000, // 22 and above
    0x7f7fffff, 0xff7fffff, 0x7f800000, 0xff800000, // largest finite, infinities
    0x7fc00000, 0xffc00000, 0x7fa00001, 0xff812345, // quiet, negative and signalling NaNs
    0x807fffff, 0x3f000000, 0x40a00000, 0xc1200000, // a negative subnormal, 0.5, 5, -10
};

namespace lanes {

/// Bit patterns of |x| (the sign cleared) that bound the ranges of tanh and of expm1.
/// tanh: below 2^-55, tanh(x) is x (1 + x), which rounds to x.
constexpr std::int32_t tanh_tiny = 0x24000000;
/// tanh: from 1 on, tanh comes from expm1(2|x|), below it from expm1(-2|x|).
constexpr std::int32_t tanh_one = 0x3f800000;
/// tanh: from 22 on (infinity included), |tanh(x)| rounds to 1.
constexpr std::int32_t tanh_saturated = 0x41b00000;
/// tanh: above the infinities, NaN.
constexpr std::int32_t infinity = 0x7f800000;
/// expm1: below 2^-25, expm1(u) is u.
constexpr std::int32_t expm1_tiny = 0x33000000;
/// expm1: up to 0.5 ln 2 no reduction (k = 0).
constexpr std::int32_t expm1_half_ln2 = 0x3eb17218;
/// expm1: above 0.5 ln 2 and below 1.5 ln 2, k is 1 with the sign of u.
constexpr std::int32_t expm1_one_and_half_ln2 = 0x3f851592;

constexpr float ln2_high = 0x1.62e3p-1F;      // ln 2 with its low bits cleared: k ln2_high is exact
constexpr float ln2_low = 0x1.2fefa2p-17F;    // ln 2 - ln2_high
constexpr float inverse_ln2 = 0x1.715476p+0F; // 1 / ln 2
constexpr float q1 = -0x1.111112p-5F;         // the rational approximation's coefficients
constexpr float q2 = 0x1.a01a02p-10F;
constexpr float q3 = -0x1.4ce19ap-14F;
constexpr float q4 = 0x1.0cfca8p-18F;
constexpr float q5 = -0x1.afdb76p-23F;

/// `value` in every lane of a `Vector`.
template <class Vector, class Scalar>
[[gnu::always_inline]] inline Vector splat(Scalar value) {
  return Vector{} + value;
}

/// Per lane, `mask` (all ones or zero) ? `when` : `otherwise`.
template <class Vector, class Mask>
[[gnu::always_inline]] inline Vector select(const Mask& mask, const Vector& when,
                                            const Vector& otherwise) {
  return mask ? when : otherwise;
}

/// e^u - 1 for u in (-2, 0] or [2, 44), the arguments tanh passes; other lanes hold garbage.
/// The argument is reduced to u = k ln 2 + r with an integer k (0 up to |u| = 0.5 ln 2, +-1 below
/// 1.5 ln 2, otherwise u / ln 2 +- 0.5 truncated), r = hi - lo and c the rounding error of that
/// subtraction; e^r - 1 comes from the rational approximation in r^2 / 2, and the result is
/// rebuilt from it by a step that depends on k, scaling by 2^k by adding k to the exponent field.
template <class Lanes, class Floats = typename Lanes::Floats, class Ints = typename Lanes::Ints>
[[gnu::always_inline]] inline Floats expm1(const Floats& u) {
  const Ints u_bits = __builtin_bit_cast(Ints, u);
  const Ints magnitude = u_bits & 0x7fffffff;
  const Ints positive = u_bits >= 0;
  const Floats rounding = select(positive, splat<Floats>(0.5F), splat<Floats>(-0.5F));
  Ints k = __builtin_convertvector(inverse_ln2 * u + rounding, Ints);
  k = select(magnitude < expm1_one_and_half_ln2, select(positive, splat<Ints>(1), splat<Ints>(-1)),
             k);
  // With k = 0, hi = u, lo = +0, r = u and c = +0: the reduction leaves u as it is.
  k = select(magnitude <= expm1_half_ln2, splat<Ints>(0), k);
  const Floats k_float = __builtin_convertvector(k, Floats);
  const Floats hi = u - k_float * ln2_high;
  const Floats lo = k_float * ln2_low;
  const Floats r = hi - lo;
  const Floats c = (hi - r) - lo;

  const Floats half_r = 0.5F * r;
  const Floats h = r * half_r;
  const Floats series = 1.0F + h * (q1 + h * (q2 + h * (q3 + h * (q4 + h * q5))));
  const Floats t = 3.0F - series * half_r;
  const Floats correction = h * ((series - t) / (6.0F - r * t));
  // r - e is e^r - 1, less the reduction's rounding error.
  const Floats e = (r * (correction - c) - c) - h;

  // 2^-k from its exponent field; k lies in [-3, 63] for tanh's arguments.
  const Floats power = __builtin_bit_cast(Floats, (127 - k) << 23);
  // For k <= -2 and k > 56, 2^k e^r is rebuilt and 1 subtracted after the scaling; for k from 2
  // to 56, 2^-k is subtracted before it. The two ranges are one unsigned comparison: GCC computes
  // masks combined with & or | lane by lane with AVX-512.
  const Ints far = __builtin_bit_cast(typename Lanes::Unsigned, k + 1) > 57U;
  const Floats unscaled = select(
      far, 1.0F - (e - r), select(k <= 22, (1.0F - power) - (e - r), (r - (e + power)) + 1.0F));
  const Floats scaled = __builtin_bit_cast(Floats, __builtin_bit_cast(Ints, unscaled) + (k << 23));

  Floats result = select(far, scaled - 1.0F, scaled);
  result = select(k == -1, 0.5F * (r - e) - 0.5F, result);
  result = select(k == 0, r - e, result);
  return select(magnitude < expm1_tiny, u, result);
}

/// tanh(x) in every lane: x (1 + x) below 2^-55 (x itself), the quieted NaN for NaN, +-1 from
/// 22 on, -t / (t + 2) with t = expm1(-2|x|) below 1 and 1 - 2 / (t + 2) with t = expm1(2|x|)
/// from 1 on, negated for negative x.
template <class Lanes, class Floats = typename Lanes::Floats, class Ints = typename Lanes::Ints>
[[gnu::always_inline]] inline Floats tanh(const Floats& x) {
  const Ints x_bits = __builtin_bit_cast(Ints, x);
  const Ints magnitude = x_bits & 0x7fffffff;
  const Floats absolute = __builtin_bit_cast(Floats, magnitude);
  const Ints at_least_one = magnitude >= tanh_one;
  // Lanes from 22 on (infinities and NaN among them) take a harmless argument, and lanes below
  // 2^-55 keep theirs; the result of both is replaced below.
  const Floats argument = select(magnitude >= tanh_saturated, splat<Floats>(2.0F),
                                 select(at_least_one, 2.0F * absolute, -2.0F * absolute));
  const Floats t = expm1<Lanes>(argument);
  // One division serves both ranges: 2 / (t + 2) and -t / (t + 2).
  const Floats quotient = select(at_least_one, splat<Floats>(2.0F), -t) / (t + 2.0F);
  Floats z = select(at_least_one, 1.0F - quotient, quotient);
  // 1 - 1e-30 rounds to 1.
  z = select(magnitude >= tanh_saturated, splat<Floats>(1.0F), z);
  z = select(x_bits < 0, -z, z);
  z = select(magnitude < tanh_tiny, x * (1.0F + x), z);
  // 1 / NaN +- 1 is the NaN operand quieted, and so is NaN + NaN.
  return select(magnitude > infinity, x + x, z);
}

} // namespace lanes

template <class Lanes>
struct VectorTanh {
  [[gnu::always_inline]] typename Lanes::Floats
  operator()(const typename Lanes::Floats& values) const {
    return lanes::tanh<Lanes>(values);
  }
};

template <class Lanes>
struct VectorGelu {
  [[gnu::always_inline]] typename Lanes::Floats
  operator()(const typename Lanes::Floats& values) const {
    return gelu_steps(values, VectorTanh<Lanes>{});
  }
};

/// result[i] = function(input[i]) a vector of `Floats` at a time; the last, partial vector is
/// padded with zeros. Each vector is read before it is written, so `result` may be `input`.
template <class Floats, class Function>
[[gnu::always_inline]] inline void each_vector(std::span<const float> input,
                                               std::span<float> result, Function function) {
  constexpr std::size_t lane_count = sizeof(Floats) / sizeof(float);
  const float* in = input.data();
  float* out = result.data();
  const std::size_t count = result.size();
  std::size_t i = 0;
  for (; i + lane_count <= count; i += lane_count) {
    Floats values;
    std::memcpy(&values, in + i, sizeof values);
    const Floats computed = function(values);
    std::memcpy(out + i, &computed, sizeof computed);
  }
  if (i < count) {
    Floats values{};
    std::memcpy(&values, in + i, (count - i) * sizeof(float));
    const Floats computed = function(values);
    std::memcpy(out + i, &computed, (count - i) * sizeof(float));
  }
}

/// The vector types of AVX-512 and of AVX2.
struct Avx512Lanes {
  using Floats = float __attribute__((vector_size(64)));
  using Ints = std::int32_t __attribute__((vector_size(64)));
  using Unsigned = std::uint32_t __attribute__((vector_size(64)));
};
struct Avx2Lanes {
  using Floats = float __attribute__((vector_size(32)));
  using Ints = std::int32_t __attribute__((vector_size(32)));
  using Unsigned = std::uint32_t __attribute__((vector_size(32)));
};

} // namespace

__attribute__((target("avx512f"))) void tanh_avx512(std::span<const float> input,
                                                    std::span<float> result) {
  each_vector<Avx512Lanes::Floats>(input, result, VectorTanh<Avx512Lanes>{});
}

__attribute__((target("avx2"))) void tanh_avx2(std::span<const float> input,
                                               std::span<float> result) {
  each_vector<Avx2Lanes::Floats>(input, result, VectorTanh<Avx2Lanes>{});
}

__attribute__((target("avx512f"))) void gelu_avx512(std::span<const float> input,
                                                    std::span<float> result) {
  each_vector<Avx512Lanes::Floats>(input, result, VectorGelu<Avx512Lanes>{});
}

__attribute__((target("avx2"))) void gelu_avx2(std::span<const float> input,
                                               std::span<float> result) {
  each_vector<Avx2Lanes::Floats>(input, result, VectorGelu<Avx2Lanes>{});
}

namespace {

using ArrayKernel = void (*)(std::span<const float>, std::span<float>);

/// The vector kernels of the running processor, or none.
struct VectorKernels {
  ArrayKernel tanh = nullptr;
  ArrayKernel gelu = nullptr;
};

VectorKernels vector_kernels() {
  if (processor_has_avx512()) {
    return {tanh_avx512, gelu_avx512};
  }
  if (processor_has_avx2()) {
    return {tanh_avx2, gelu_avx2};
  }
  return {};
}

/// The vector kernel `pick` when the array is long enough, the processor has one and its tanh
/// has std::tanh's bits on every probe value; otherwise none.
ArrayKernel checked_vector_kernel(std::size_t count, ArrayKernel VectorKernels::*pick) {
  if (count < vector_minimum) {
    return nullptr;
  }
  const VectorKernels kernels = vector_kernels();
  if (kernels.tanh == nullptr) {
    return nullptr;
  }
  const std::vector<float> probes = tanh_probe_values();
  std::vector<float> results(probes.size());
  kernels.tanh(probes, results);
  return tanh_probes_match(results) ? kernels.*pick : nullptr;
}

} // namespace

float gelu(float value) {
  return gelu_steps(value, ScalarTanh{});
}

std::vector<float> tanh_probe_values() {
  std::vector<float> values(probe_bits.size());
  std::transform(probe_bits.begin(), probe_bits.end(), values.begin(),
                 [](std::uint32_t bits) { return std::bit_cast<float>(bits); });
  return values;
}

bool tanh_probes_match(std::span<const float> results) {
  const std::vector<float> probes = tanh_probe_values();
  if (results.size() != probes.size()) {
    return false;
  }
  for (std::size_t i = 0; i < probes.size(); ++i) {
    if (std::bit_cast<std::uint32_t>(results[i]) !=
        std::bit_cast<std::uint32_t>(std::tanh(probes[i]))) {
      return false;
    }
  }
  return true;
}

void tanh_values(std::span<const float> input, std::span<float> result) {
  require_length(input.size(), result.size(), "element-wise function", "input");
  if (const ArrayKernel vector_tanh = checked_vector_kernel(result.size(), &VectorKernels::tanh)) {
    return vector_tanh(input, result);
  }
  each(input, result, ScalarTanh{});
}

void gelu_values(std::span<const float> input, std::span<float> result) {
  require_length(input.size(), result.size(), "gelu", "input");
  if (const ArrayKernel vector_gelu = checked_vector_kernel(result.size(), &VectorKernels::gelu)) {
    return vector_gelu(input, result);
  }
  each(input, result, gelu);
}

} // namespace orvik_compiler::kernels
