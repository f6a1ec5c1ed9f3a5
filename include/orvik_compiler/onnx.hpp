#pragma once

// Importing models of the ONNX exchange format: the graph, the values of its weights and the
// names of its inputs and outputs. A library of its own, orvik_compiler::onnx, built on the
// system's ONNX and protobuf libraries, so that the core library keeps to the standard library.

#include "orvik_compiler/evaluate.hpp"
#include "orvik_compiler/graph.hpp"
#include "orvik_compiler/result.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orvik_compiler {

struct OnnxImportOptions {
  /// Extents of the symbolic dimensions of the model's inputs, by `dim_param` name.
  std::map<std::string, std::uint64_t, std::less<>> dimensions;
  /// The most bytes that constants broadcast to a full shape at import may take together, so that
  /// a small hostile file cannot make the importer allocate without bound. 1 GiB by default.
  std::uint64_t expansion_limit = std::uint64_t{1} << 30U;
  /// The most bytes the imported graph's structure may take: its tensors' shapes and names, its
  /// operations and the importer's record of each value, on top of the weights (which the file
  /// holds) and the constants the expansion limit bounds. A small file can otherwise name
  /// hundreds of tensors of rank 100,000. 0, the default, means 16 times the file's size plus
  /// 64 MiB.
  std::uint64_t memory_limit = 0;
};

/// The values of one weight tensor: row-major, exactly as many as the tensor has elements, held
/// as the bytes of 32-bit values of the tensor's type (floats for F32, integers for I32) in the
/// host's byte order. The bytes of a float32 initializer stored in `raw_data` are taken over from
/// the parsed model without a copy (on a little-endian host they are the file's bytes as they
/// are); other values are decoded into them once.
struct WeightValues {
  TensorId tensor;
  /// Four bytes per value.
  std::string bytes;
  /// The weight tensor's element type.
  DType dtype = DType::F32;

  /// The values of an F32 weight; empty for an I32 one. Valid while `bytes` is neither changed
  /// nor destroyed, as are the spans below.
  std::span<const float> values() const;
  /// The values of an I32 weight; empty for an F32 one.
  std::span<const std::int32_t> integers() const;
  /// The values bound to the tensor, to pass to `evaluate`.
  TensorValue binding() const;

  friend bool operator==(const WeightValues&, const WeightValues&) = default;
};

/// An imported model.
struct OnnxModel {
  /// The model as a graph: its inputs are `Input` tensors, its initializers and `Constant` nodes
  /// `Weight` tensors (created where an operation reads them), its outputs marked in the
  /// model's order. Every tensor that stands for a value of the model carries the value's name;
  /// tensors the importer adds carry names derived from the value they help to compute, and no
  /// two tensors share a name.
  Graph graph;
  /// The values of every weight tensor (also one marked as an output), in tensor order, each
  /// decoded once.
  std::vector<WeightValues> weights;
  /// The model's inputs in its order: the names of the graph's `Input` tensors (inputs with an
  /// initializer are constants, not inputs).
  std::vector<std::string> input_names;
  /// The model's outputs in its order: `output_names[i]` is the model's name of
  /// `graph.outputs[i]`, which that tensor carries. A model may list one value as an output more
  /// than once; as no two tensors share a name, each later listing is a `Reshape` copy of the
  /// first under a fresh name.
  std::vector<std::string> output_names;

  friend bool operator==(const OnnxModel&, const OnnxModel&) = default;
};

/// Reads an ONNX model file and imports it.
///
/// In this order: the file is parsed (a file that is not protobuf or is truncated fails);
/// external data is refused; ONNX's checker runs; the initializers are decoded (float32 and
/// int64, from `raw_data` little-endian or the typed fields, each checked against its shape);
/// the inputs get their shapes, symbolic dimensions from `options.dimensions`; the fusions
/// replace the tanh form of GELU and the written-out layer normalisation by single operations;
/// every node is converted in order by the converter of its operator for the model's operator set;
/// the outputs are marked; every type the model declares is compared with the one the conversion
/// computed; and last ONNX's strict shape inference runs. ONNX's messages are reported as they are.
/// Inference comes last because it trusts what it is given and can crash on hostile models, so it
/// only sees models whose nodes were all accepted and whose declared types are true.
///
/// Every error is a `CompileError::Graph` whose message starts with the file's path as given,
/// then a colon. An error of a node names its position in the model's node list (from 0), its
/// name and its operator: "model.onnx: node 7 "act_relu" (Relu): unsupported operator". Never
/// throws for anything in the file; only exhausted memory escapes, as std::bad_alloc.
Result<OnnxModel> import_onnx(const std::filesystem::path& file, const OnnxImportOptions& options);

/// A tensor read from a serialised ONNX `TensorProto` file (.pb), such as the inputs and outputs
/// of ONNX's test cases: FLOAT data as F32 values, INT32 and INT64 data as I32 values.
struct OnnxTensor {
  std::string name;
  std::vector<std::uint64_t> shape;
  /// The values of an F32 tensor; empty for an I32 one.
  std::vector<float> values;
  DType dtype = DType::F32;
  /// The values of an I32 tensor; empty for an F32 one.
  std::vector<std::int32_t> int_values{};

  friend bool operator==(const OnnxTensor&, const OnnxTensor&) = default;
};

/// Reads a FLOAT, INT32 or INT64 tensor from a `TensorProto` file. Errors, as
/// `CompileError::Graph` starting with the path: a file that cannot be read or parsed, another
/// data type, data that does not fit the shape, and an INT64 value outside the 32-bit range
/// ("value 4294967296 at index 3 does not fit int32", the first such value, indices counted from
/// 0 in row-major order).
Result<OnnxTensor> read_onnx_tensor(const std::filesystem::path& file);

/// Decodes a tensor from the bytes of a `TensorProto` file; errors as for `read_onnx_tensor`,
/// without a path.
Result<OnnxTensor> parse_onnx_tensor(std::string_view bytes);

} // namespace orvik_compiler
