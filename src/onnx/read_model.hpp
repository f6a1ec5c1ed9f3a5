#pragma once

// Reading a model file: protobuf parsing and ONNX's own checker; and ONNX's strict shape
// inference.

#include "orvik_compiler/result.hpp"

#include <onnx/onnx_pb.h>

#include <filesystem>

namespace orvik_compiler::onnx_import {

/// Parses the protobuf message in `file` into `message`. Reads at most the 2 GiB that protobuf
/// messages are limited to. Errors (messages without the path): "cannot read: REASON" and "not
/// a protobuf message of this kind (malformed or truncated)".
Result<void> parse_file(const std::filesystem::path& file, google::protobuf::MessageLite& message);

/// Parses the model in `file`, refuses tensors whose data lies in other files (before the checker
/// would look for those files, by names the model chooses) and runs ONNX's checker, whose message
/// is returned as it is.
Result<onnx::ModelProto> read_model(const std::filesystem::path& file);

/// Runs ONNX's strict shape inference, which finds the shape errors the checker misses (declared
/// shapes that contradict the computed ones, say); its message is returned as it is.
///
/// ONNX's inference functions trust their inputs: that of Gemm in opset 6 reads the dimensions of
/// a scalar operand and crashes. So inference runs only on models the converters have accepted,
/// whose every node is of a supported operator and has operands of the ranks it needs.
Result<void> infer_shapes(onnx::ModelProto& model);

} // namespace orvik_compiler::onnx_import
