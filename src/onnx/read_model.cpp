// Reading a model file: protobuf parsing and ONNX's checker; and ONNX's strict shape
// inference, which the importer runs last.

#include "read_model.hpp"

#include <onnx/checker.h>
#include <onnx/shape_inference/implementation.h>

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <new>
#include <unistd.h>

namespace orvik_compiler::onnx_import {
namespace {

/// Read in large blocks: a model is mostly weights, and the stream copies each block once.
constexpr int read_block_bytes = 1 << 20;

/// Closes the descriptor on every way out.
struct FileDescriptor {
  explicit FileDescriptor(int descriptor) : value(descriptor) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (value >= 0) {
      ::close(value);
    }
  }
  int value;
};

/// Refuses tensors of the main graph whose data lies in other files, before ONNX's checker
/// would look for those files, by names the model chooses, relative to the working directory.
Result<void> refuse_external_data(const onnx::GraphProto& graph) {
  const auto external = [](const onnx::TensorProto& tensor) {
    return tensor.data_location() == onnx::TensorProto::EXTERNAL;
  };
  for (const onnx::TensorProto& initializer : graph.initializer()) {
    if (external(initializer)) {
      return CompileError::graph("initializer \"" + initializer.name() +
                                 "\": external data is not supported");
    }
  }
  for (int n = 0; n < graph.node_size(); ++n) {
    for (const onnx::AttributeProto& attribute : graph.node(n).attribute()) {
      if (external(attribute.t()) ||
          std::any_of(attribute.tensors().begin(), attribute.tensors().end(), external)) {
        return CompileError::graph("node " + std::to_string(n) + " \"" + graph.node(n).name() +
                                   "\" (" + graph.node(n).op_type() + "): attribute \"" +
                                   attribute.name() + "\": external data is not supported");
      }
    }
  }
  return {};
}

/// Runs a step of ONNX's, which reports what it finds by throwing; its message is passed on as it
/// is.
template <class Step>
Result<void> passed_on(Step step) {
  try {
    step();
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& error) {
    return CompileError::graph(error.what());
  }
  return {};
}

} // namespace

Result<void> parse_file(const std::filesystem::path& file, google::protobuf::MessageLite& message) {
  const FileDescriptor descriptor(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (descriptor.value < 0) {
    return CompileError::graph(std::string("cannot read: ") + std::strerror(errno));
  }
  google::protobuf::io::FileInputStream stream(descriptor.value, read_block_bytes);
  bool parsed = false;
  {
    google::protobuf::io::CodedInputStream coded(&stream);
    coded.SetTotalBytesLimit(std::numeric_limits<int>::max());
    parsed = message.ParseFromCodedStream(&coded) && coded.ConsumedEntireMessage();
  }
  if (stream.GetErrno() != 0) {
    return CompileError::graph(std::string("cannot read: ") + std::strerror(stream.GetErrno()));
  }
  if (!parsed) {
    return CompileError::graph("not a protobuf message of this kind (malformed or truncated)");
  }
  return {};
}

Result<onnx::ModelProto> read_model(const std::filesystem::path& file) {
  onnx::ModelProto model;
  if (Result<void> parsed = parse_file(file, model); !parsed) {
    return parsed.error();
  }
  if (Result<void> internal = refuse_external_data(model.graph()); !internal) {
    return internal.error();
  }
  if (Result<void> checked = passed_on([&] { onnx::checker::check_model(model); }); !checked) {
    return checked.error();
  }
  return model;
}

Result<void> infer_shapes(onnx::ModelProto& model) {
  const onnx::ShapeInferenceOptions strict{/*check_type=*/false, /*strict_mode=*/1,
                                           /*data_prop=*/false};
  return passed_on([&] {
    onnx::shape_inference::InferShapes(model, onnx::OpSchemaRegistry::Instance(), strict);
  });
}

} // namespace orvik_compiler::onnx_import
