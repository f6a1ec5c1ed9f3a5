#pragma once

// A node's operands: its inputs read as values, float tensors of the graph or integers known at
// import, and its outputs defined.

#include "conversion.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orvik_compiler::onnx_import {

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
/// A value as a float tensor of the graph, made once per value; errors as for `input_tensor`.
Result<TensorId> tensor_of(Conversion& conversion, const Node& node, const Value& value);
/// The value that stands for a tensor of the graph.
Value tensor_value(const Conversion& conversion, TensorId tensor);

/// "input "x" has data type INT64; ...", the refusal of a value that is not float32.
CompileError data_type_error(const Node& node, const Value& value);

/// Defines the node's output i.
void define(Conversion& conversion, const Node& node, int i, Value value);
/// Defines the node's output i as a graph tensor.
void define_tensor(Conversion& conversion, const Node& node, int i, TensorId tensor);

/// Defines the node's output 0 as the result, or passes its error on: converters finish through
/// these, so one that returns without error has defined its output.
Result<void> defined(Conversion& conversion, const Node& node, const Result<TensorId>& tensor);
Result<void> defined(Conversion& conversion, const Node& node, const Result<Value>& value);

} // namespace orvik_compiler::onnx_import
