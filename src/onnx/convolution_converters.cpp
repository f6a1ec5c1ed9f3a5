// Converters of the convolutions.

#include "convolution_converters.hpp"

#include "attributes.hpp"
#include "broadcasting.hpp"
#include "constants.hpp"
#include "operands.hpp"
#include "reshapes.hpp"
#include "tensor_data.hpp"

#include <orvik_compiler/debug_text.hpp>

#include <algorithm>
#include <array>
#include <string>
#include <utility>
#include <vector>

namespace orvik_compiler::onnx_import {
namespace {

/// The integer-list attribute `name`, `fallback` when absent, refused unless it equals
/// `required`, which `what_is_supported` describes.
Result<void> require_ints(const Node& node, std::string_view name,
                          const std::vector<std::int64_t>& required,
                          std::string_view what_is_supported) {
  ORVIK_TRY(given, ints_attribute(node, name));
  if (given && *given != required) {
    return node_error(node, std::string(name) + " " + ints_text(*given) +
                                " are not supported; only " + std::string(what_is_supported) +
                                " are");
  }
  return {};
}

/// `auto_pad`: every value gives no padding when the strides equal the kernel and the kernel
/// divides the input, which the converter checks; anything else is refused.
Result<void> check_auto_pad(const Node& node) {
  ORVIK_TRY(auto_pad, string_attribute(node, "auto_pad", "NOTSET"));
  constexpr std::array<std::string_view, 4> known{"NOTSET", "VALID", "SAME_UPPER", "SAME_LOWER"};
  if (std::find(known.begin(), known.end(), auto_pad) == known.end()) {
    return node_error(node, "auto_pad \"" + auto_pad + "\" is not supported");
  }
  return {};
}

} // namespace

Result<void> convert_conv(Conversion& conversion, const Node& node) {
  ORVIK_TRY(x, input_value(conversion, node, 0));
  ORVIK_TRY(w, input_value(conversion, node, 1));
  for (const Value* operand : {&x, &w}) {
    if (operand->data_type != onnx::TensorProto::FLOAT) {
      return data_type_error(node, *operand);
    }
  }
  if (x.shape.size() != 4) {
    return node_error(node, "X \"" + x.name + "\" " + shape_text(x.shape) + " has rank " +
                                std::to_string(x.shape.size()) +
                                "; only 2-D convolutions of an [N, C, H, W] input are supported");
  }
  if (!w.constant) {
    return node_error(node, "W \"" + w.name +
                                "\" is not a constant; only constant weights are supported");
  }
  ORVIK_TRY(group, int_attribute(node, "group", 1));
  if (group != 1) {
    return node_error(node, "group " + std::to_string(group) + " is not supported; only 1 is");
  }
  const std::uint64_t batch = x.shape[0];
  const std::uint64_t channels = x.shape[1];
  if (w.shape.size() != 4 || w.shape[1] != channels) {
    return node_error(node, "W \"" + w.name + "\" " + shape_text(w.shape) +
                                " is not [M, C, kh, kw] with C = " + std::to_string(channels) +
                                ", the channels of X " + shape_text(x.shape));
  }
  const std::uint64_t features = w.shape[0];
  const std::uint64_t kernel_h = w.shape[2];
  const std::uint64_t kernel_w = w.shape[3];
  const std::vector<std::int64_t> kernel{static_cast<std::int64_t>(kernel_h),
                                         static_cast<std::int64_t>(kernel_w)};
  ORVIK_TRY(kernel_shape, ints_attribute(node, "kernel_shape"));
  if (kernel_shape && *kernel_shape != kernel) {
    return node_error(node, "kernel_shape " + ints_text(*kernel_shape) + " differs from W's " +
                                ints_text(kernel));
  }
  ORVIK_TRY(given_strides, ints_attribute(node, "strides"));
  const std::vector<std::int64_t> strides = given_strides.value_or(std::vector<std::int64_t>{1, 1});
  if (strides != kernel) {
    return node_error(node, "strides " + ints_text(strides) +
                                " are not supported; only strides equal to the kernel " +
                                ints_text(kernel) + " are");
  }
  for (Result<void> checked :
       {require_ints(node, "dilations", {1, 1}, "[1, 1]"),
        require_ints(node, "pads", {0, 0, 0, 0}, "[0, 0, 0, 0]"), check_auto_pad(node)}) {
    if (!checked) {
      return checked.error();
    }
  }
  if (x.shape[2] % kernel_h != 0 || x.shape[3] % kernel_w != 0) {
    return node_error(node, "X \"" + x.name + "\" " + shape_text(x.shape) +
                                ": H and W are not multiples of the kernel " + ints_text(kernel));
  }
  const std::uint64_t rows = x.shape[2] / kernel_h;
  const std::uint64_t columns = x.shape[3] / kernel_w;
  const std::uint64_t patch = channels * kernel_h * kernel_w;
  std::optional<Value> bias;
  if (has_input(node, 2)) {
    ORVIK_TRY(b, input_value(conversion, node, 2));
    if (b.data_type != onnx::TensorProto::FLOAT) {
      return data_type_error(node, b);
    }
    if (b.shape != std::vector<std::uint64_t>{features}) {
      return node_error(node, "B \"" + b.name + "\" " + shape_text(b.shape) + " is not [M] = [" +
                                  std::to_string(features) + "]");
    }
    bias = std::move(b);
  }

  Graph& graph = conversion.graph();
  const std::string output = output_name(node, 0);
  const auto step_name = [&](std::string_view step) {
    return fresh_name(conversion, output + "/" + std::string(step));
  };
  // [N, C, H/kh, kh, W/kw, kw] to [N, H/kh, W/kw, C, kh, kw]: one patch's values in a row.
  ORVIK_TRY(split,
            reshaped(conversion, node, x, {batch, channels, rows, kernel_h, columns, kernel_w},
                     step_name("patches")));
  ORVIK_TRY(split_tensor, tensor_of(conversion, node, split));
  ORVIK_TRY(gathered, built(conversion, node,
                            graph.transpose(step_name("patches_transposed"), split_tensor,
                                            {0, 2, 4, 1, 3, 5})));
  ORVIK_TRY(patch_rows, reshaped(conversion, node, tensor_value(conversion, gathered),
                                 {batch * rows * columns, patch}, step_name("patch_rows")));
  ORVIK_TRY(left, tensor_of(conversion, node, patch_rows));

  // The weight as [C*kh*kw, M], its row k = (c, i, j) of every feature, transposed at import.
  const std::span<const float> weights = floats_in(conversion.data[*w.constant].float_bytes);
  std::vector<float> transposed(weights.size());
  for (std::uint64_t m = 0; m < features; ++m) {
    for (std::uint64_t k = 0; k < patch; ++k) {
      transposed[k * features + m] = weights[m * patch + k];
    }
  }
  ORVIK_TRY(right, tensor_of(conversion, node,
                             new_constant(conversion, w.name + "/patch_matrix", {patch, features},
                                          std::move(transposed))));
  ORVIK_TRY(product, built(conversion, node, graph.matmul(step_name("product"), left, right)));
  TensorId result = product;
  if (bias) {
    ORVIK_TRY(sum, elementwise(conversion, node, Elementwise::Add, tensor_value(conversion, result),
                               *bias, step_name("biased")));
    result = sum;
  }
  ORVIK_TRY(grid, reshaped(conversion, node, tensor_value(conversion, result),
                           {batch, rows, columns, features}, step_name("grid")));
  ORVIK_TRY(grid_tensor, tensor_of(conversion, node, grid));
  return defined(conversion, node,
                 built(conversion, node, graph.transpose(output, grid_tensor, {0, 3, 1, 2})));
}

} // namespace orvik_compiler::onnx_import
