#pragma once

// The state of one model's conversion and the steps the converters share: reading a node's
// operands and attributes, turning constants into weights, element-wise operations with a
// constant broadcast to the other operand's shape, reshapes, and the messages that name a node.

#include "orvik_compiler/graph.hpp"
#include "orvik_compiler/onnx.hpp"
#include "orvik_compiler/result.hpp"

#include "../result_try.hpp"

#include <onnx/onnx_pb.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace orvik_compiler::onnx_import {

/// Values known at import: float32 or int64, decoded once. Several constants of different shapes
/// may share one entry (a reshape of a constant is a constant over the same data).
struct ConstantData {
  /// Float32 values as the bytes of host floats (`floats_in` reads them), which a weight made of
  /// them takes over.
  std::string float_bytes;
  std::vector<std::int64_t> integers;
  /// The first weight tensor made of these values; other shapes of them are reshapes of it.
  std::optional<TensorId> weight;
};

/// What a value of the model, or one the importer makes, stands for.
struct Value {
  /// The name in the model, or the importer's fresh name; a tensor made for the value gets it.
  std::string name;
  /// The ONNX data type; only FLOAT values become tensors.
  std::int32_t data_type = onnx::TensorProto::FLOAT;
  /// Known for FLOAT values and constants.
  std::vector<std::uint64_t> shape;
  /// The graph tensor that holds it, once there is one.
  std::optional<TensorId> tensor;
  /// Its values, an index into `Conversion::data`, when they are known at import.
  std::optional<std::size_t> constant;
};

/// One model's conversion in progress.
struct Conversion {
  /// The version of the default operator set the model imports.
  std::int64_t opset = 0;
  std::uint64_t expansion_limit = 0;
  /// Bytes of constants broadcast to a full shape so far.
  std::uint64_t expanded_bytes = 0;
  OnnxModel model;
  std::vector<ConstantData> data;
  std::unordered_map<std::string, Value> values;
  /// How many node inputs and graph outputs read each value.
  std::unordered_map<std::string, std::uint64_t> readers;
  /// Every name a tensor has or that a value of the model may give one.
  std::unordered_set<std::string> names;
  /// The next number to try after each base of `fresh_name`, so that finding a free name never
  /// rescans the numbers taken before.
  std::unordered_map<std::string, std::uint64_t> next_suffix;

  Graph& graph() { return model.graph; }
};

/// The node being converted: its position in the model's node list and what messages call its
/// operator.
struct Node {
  const onnx::NodeProto& proto;
  std::size_t position = 0;
  std::string_view op_label;
};

/// "node 7 "name" (Op): WHAT".
CompileError node_error(const Node& node, std::string_view what);

/// A fresh tensor name: `base`, or `base` with a number appended when that is taken.
std::string fresh_name(Conversion& conversion, const std::string& base);

/// The name of the node's output i, empty when there is none.
std::string output_name(const Node& node, int i);
/// Whether the node has a non-empty input i.
bool has_input(const Node& node, int i);
/// The value named `name`; an error when no earlier node or input defines it.
Result<Value> named_value(Conversion& conversion, const Node& node, const std::string& name);
/// The value of the node's input i; an error when the input is absent.
Result<Value> input_value(Conversion& conversion, const Node& node, int i);
/// Input i as a float tensor of the graph, making the weight of a constant if need be. Errors:
/// another data type, a constant that is a scalar or empty.
Result<TensorId> input_tensor(Conversion& conversion, const Node& node, int i);
/// Input i as int64 values known at import; `what` names the input in the error.
Result<std::vector<std::int64_t>> input_integers(Conversion& conversion, const Node& node, int i,
                                                 std::string_view what);
/// The tensor of a float constant: a weight of its data, made once, or a reshape of the weight
/// made of the same data under another shape. Errors, without a prefix: a scalar or empty
/// constant.
Result<TensorId> constant_tensor(Conversion& conversion, const Value& value);
/// A value as a float tensor of the graph, made once per value; errors as for `input_tensor`.
Result<TensorId> tensor_of(Conversion& conversion, const Node& node, const Value& value);
/// The value that stands for a tensor of the graph.
Value tensor_value(const Conversion& conversion, TensorId tensor);

/// Defines the node's output i.
void define(Conversion& conversion, const Node& node, int i, Value value);
/// Defines the node's output i as a graph tensor.
void define_tensor(Conversion& conversion, const Node& node, int i, TensorId tensor);

/// The attribute `name` of the node, or nothing when absent.
const onnx::AttributeProto* attribute(const Node& node, std::string_view name);
/// An integer attribute, `fallback` when absent; an error when it has another type.
Result<std::int64_t> int_attribute(const Node& node, std::string_view name, std::int64_t fallback);
/// A float attribute, `fallback` when absent; an error when it has another type.
Result<float> float_attribute(const Node& node, std::string_view name, float fallback);
/// An integer-list attribute, nothing when absent; an error when it has another type.
Result<std::optional<std::vector<std::int64_t>>> ints_attribute(const Node& node,
                                                                std::string_view name);

/// An axis in [-rank, rank) made non-negative; an error naming `what` otherwise.
Result<std::uint64_t> normalised_axis(const Node& node, std::int64_t axis, std::uint64_t rank,
                                      std::string_view what);

/// A builder result as a node's result: a builder error becomes the node's, and a result whose
/// element count does not fit is refused.
Result<TensorId> built(Conversion& conversion, const Node& node, Result<TensorId> result);

/// Decodes an initializer or the tensor of a `Constant` node into a value named `name`: float32
/// and int64 tensors become constants (the float32 values taken over from `raw_data` without a
/// copy), tensors of other data types values of that type, refused where they are read. Errors,
/// without a prefix: a malformed shape or data.
Result<Value> decoded_constant(Conversion& conversion, onnx::TensorProto& tensor,
                               const std::string& name);

/// A float constant made at import, such as a Gemm's alpha, under a fresh name made from
/// `base`.
Value new_constant(Conversion& conversion, const std::string& base,
                   std::vector<std::uint64_t> shape, std::vector<float> values);

enum class Elementwise { Add, Mul };

/// `left` + `right` or `left` * `right` as one Add or Mul named `name`. Operands of equal shape
/// are used as they are; a constant operand whose shape broadcasts (by ONNX's rules) to the
/// other's is first expanded to that shape as a weight of its own. A broadcast that would need
/// the values of a non-constant tensor is refused.
Result<TensorId> elementwise(Conversion& conversion, const Node& node, Elementwise kind, Value left,
                             Value right, const std::string& name);

/// The value under a new shape with as many elements, named `name`: for a constant, a constant
/// over the same data; for a tensor of that very shape, the tensor itself; otherwise a Reshape.
/// Errors: another element count, a scalar or empty tensor.
Result<Value> reshaped(Conversion& conversion, const Node& node, const Value& value,
                       std::vector<std::uint64_t> shape, const std::string& name);

/// The parts of a layer normalisation after the normalising itself, with the names of the
/// tensors each part makes.
struct LayerNormParts {
  std::string normalized;
  /// Multiplied with the normalised values when present.
  std::optional<Value> scale;
  std::string scaled;
  /// Added last when present.
  std::optional<Value> bias;
  std::string biased;
};

/// Layer normalisation of `input` over its last `axes` axes with `epsilon`, then the product
/// with the scale and the sum with the bias where `parts` has them; returns the last tensor.
/// Over more than the last axis, the input is reshaped to rows first and back afterwards.
Result<TensorId> layer_norm(Conversion& conversion, const Node& node, TensorId input,
                            std::uint64_t axes, float epsilon, const LayerNormParts& parts);

} // namespace orvik_compiler::onnx_import
