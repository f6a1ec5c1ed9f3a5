#pragma once

// Reading a model file: protobuf parsing, then ONNX's own checker and strict shape inference.

#include "orvik_compiler/result.hpp"

#include <onnx/onnx_pb.h>

#include <filesystem>

namespace orvik_compiler::onnx_import {

/// Parses the protobuf message in `file` into `message`. Reads at most the 2 GiB that protobuf
/// messages are limited to. Errors (messages without the path): "cannot read: REASON" and "not
/// a protobuf message of this kind (malformed or truncated)".
Result<void> parse_file(const std::filesystem::path& file, google::protobuf::MessageLite& message);

/// Parses the model in `file` and runs ONNX's checker and strict shape inference on it; their
/// messages are returned as they are. The model comes back with the inferred value infos added.
Result<onnx::ModelProto> read_model(const std::filesystem::path& file);

} // namespace orvik_compiler::onnx_import
