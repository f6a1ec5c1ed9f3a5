#pragma once

// The state of one model's conversion: the values known so far, the constants' data, the names
// taken; and what every step of it shares: the messages that name a node, fresh names for the
// tensors the importer adds, and builder results made the node's.
//
// The steps the converters share live beside it, one job a file: a node's operands
// (operands.hpp), its attributes (attributes.hpp), constants (constants.hpp), element-wise
// operations with a constant broadcast (broadcasting.hpp), reshapes (reshapes.hpp) and layer
// normalisation (layer_norm.hpp).

#include "orvik_compiler/graph.hpp"
#include "orvik_compiler/onnx.hpp"
#include "orvik_compiler/result.hpp"

#include "../result_try.hpp"

#include <onnx/onnx_pb.h>

#include <compare>
#include <cstdint>
#include <map>
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

/// A one-element float constant filled to a shape: the value's bits and the shape.
struct FilledKey {
  std::uint32_t bits = 0;
  std::vector<std::uint64_t> shape;

  friend auto operator<=>(const FilledKey&, const FilledKey&) = default;
};

/// One model's conversion in progress.
struct Conversion {
  /// The version of the default operator set the model imports; it chooses each operator's
  /// converter.
  std::int64_t opset = 0;
  std::uint64_t expansion_limit = 0;
  /// Bytes of constants broadcast to a full shape so far.
  std::uint64_t expanded_bytes = 0;
  /// The most bytes the graph's structure may take, and what it takes so far (counted node by
  /// node as `charge_structure` says).
  std::uint64_t memory_limit = 0;
  std::uint64_t structure_bytes = 0;
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
  /// The constants made by filling a shape with one value, so that each is made once.
  std::map<FilledKey, Value> filled_constants;

  Graph& graph() { return model.graph; }
};

/// The node being converted: its position in the model's node list and what messages call its
/// operator.
struct Node {
  const onnx::NodeProto& proto;
  std::size_t position = 0;
  std::string_view op_label;
};

/// Whether `domain` names ONNX's default operator set, as nodes and operator set imports write
/// it: "" or "ai.onnx".
bool is_default_domain(std::string_view domain);

/// "node 7 "name" (Op): WHAT".
CompileError node_error(const Node& node, std::string_view what);

/// A fresh tensor name: `base`, or `base` with a number appended when that is taken.
std::string fresh_name(Conversion& conversion, const std::string& base);

/// A builder result as a node's result: a builder error becomes the node's, and a result whose
/// element count does not fit is refused.
Result<TensorId> built(Conversion& conversion, const Node& node, Result<TensorId> result);

} // namespace orvik_compiler::onnx_import
