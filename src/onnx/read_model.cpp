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

bool is_external(const onnx::TensorProto& tensor) {
  return tensor.data_location() == onnx::TensorProto::EXTERNAL || tensor.external_data_size() > 0;
}

bool is_external(const onnx::SparseTensorProto& tensor) {
  return is_external(tensor.values()) || is_external(tensor.indices());
}

std::string node_text(const onnx::NodeProto& node, int position) {
  return "node " + std::to_string(position) + " \"" + node.name() + "\" (" + node.op_type() + ")";
}

Result<void> refuse_external_data_in(const onnx::GraphProto& graph);

/// Where an attribute's value lies in another file, directly or in a graph it holds, the error
/// says where; `what` names the node that holds the attribute.
Result<void> refuse_external_attribute(const onnx::AttributeProto& attribute,
                                       const std::string& what) {
  const std::string here = what + ": attribute \"" + attribute.name() + "\"";
  if (is_external(attribute.t()) ||
      std::any_of(attribute.tensors().begin(), attribute.tensors().end(),
                  [](const onnx::TensorProto& t) { return is_external(t); }) ||
      is_external(attribute.sparse_tensor()) ||
      std::any_of(attribute.sparse_tensors().begin(), attribute.sparse_tensors().end(),
                  [](const onnx::SparseTensorProto& t) { return is_external(t); })) {
    return CompileError::graph(here + ": external data is not supported");
  }
  const auto nested = [&](const onnx::GraphProto& graph) -> Result<void> {
    if (Result<void> refused = refuse_external_data_in(graph); !refused) {
      return CompileError::graph(here + ": " + refused.error().message);
    }
    return {};
  };
  if (attribute.has_g()) {
    if (Result<void> refused = nested(attribute.g()); !refused) {
      return refused;
    }
  }
  for (const onnx::GraphProto& graph : attribute.graphs()) {
    if (Result<void> refused = nested(graph); !refused) {
      return refused;
    }
  }
  return {};
}

Result<void>
refuse_external_nodes(const google::protobuf::RepeatedPtrField<onnx::NodeProto>& nodes) {
  for (int n = 0; n < nodes.size(); ++n) {
    for (const onnx::AttributeProto& attribute : nodes[n].attribute()) {
      if (Result<void> refused = refuse_external_attribute(attribute, node_text(nodes[n], n));
          !refused) {
        return refused;
      }
    }
  }
  return {};
}

/// Refuses tensors of a graph, or of the graphs its nodes hold at any depth, whose data lies in
/// other files. Graphs nest no deeper than protobuf's recursion limit lets a file say, so the
/// recursion is bounded.
Result<void> refuse_external_data_in(const onnx::GraphProto& graph) {
  for (const onnx::TensorProto& initializer : graph.initializer()) {
    if (is_external(initializer)) {
      return CompileError::graph("initializer \"" + initializer.name() +
                                 "\": external data is not supported");
    }
  }
  for (const onnx::SparseTensorProto& initializer : graph.sparse_initializer()) {
    if (is_external(initializer)) {
      return CompileError::graph("sparse initializer \"" + initializer.values().name() +
                                 "\": external data is not supported");
    }
  }
  return refuse_external_nodes(graph.node());
}

/// Refuses data that lies in other files anywhere in the model: in the main graph's initializers
/// and sparse initializers, in node attributes, in the graphs that nodes hold (branches and
/// loop bodies) at any depth, and in the model's functions. ONNX's checker would otherwise look
/// for those files, by names the model chooses, relative to the working directory.
Result<void> refuse_external_data(const onnx::ModelProto& model) {
  if (Result<void> refused = refuse_external_data_in(model.graph()); !refused) {
    return refused;
  }
  for (const onnx::FunctionProto& function : model.functions()) {
    if (Result<void> refused = refuse_external_nodes(function.node()); !refused) {
      return CompileError::graph("function \"" + function.name() +
                                 "\": " + refused.error().message);
    }
  }
  for (const onnx::TrainingInfoProto& training : model.training_info()) {
    for (const onnx::GraphProto* graph : {&training.initialization(), &training.algorithm()}) {
      if (Result<void> refused = refuse_external_data_in(*graph); !refused) {
        return CompileError::graph("training information: " + refused.error().message);
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
  if (Result<void> internal = refuse_external_data(model); !internal) {
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
