// The import driver: reads and checks the model, declares its initializers and inputs, finds the
// fusions, converts every node in order, marks the outputs, and has ONNX infer the shapes of
// the model it has accepted.

#include "orvik_compiler/debug_text.hpp"
#include "orvik_compiler/onnx.hpp"

#include "constants.hpp"
#include "conversion.hpp"
#include "converters.hpp"
#include "fusions.hpp"
#include "read_model.hpp"
#include "tensor_data.hpp"

#include <algorithm>
#include <limits>
#include <sstream>
#include <unordered_set>

namespace orvik_compiler {
namespace {

using namespace onnx_import;

/// The version of the default operator set. A model that imports none (which the checker allows
/// only before IR version 3) is read as importing version 1, as ONNX's checker reads it.
std::int64_t default_opset(const onnx::ModelProto& model) {
  for (const onnx::OperatorSetIdProto& set : model.opset_import()) {
    if (is_default_domain(set.domain())) {
      return set.version();
    }
  }
  return 1;
}

/// The first value name of the graph that is not well-formed UTF-8, if any.
const std::string* malformed_name(const onnx::GraphProto& graph) {
  const auto malformed = [](const std::string& name) { return !is_well_formed_utf8(name); };
  for (const auto* values : {&graph.input(), &graph.output()}) {
    for (const onnx::ValueInfoProto& value : *values) {
      if (malformed(value.name())) {
        return &value.name();
      }
    }
  }
  for (const onnx::TensorProto& initializer : graph.initializer()) {
    if (malformed(initializer.name())) {
      return &initializer.name();
    }
  }
  for (const onnx::NodeProto& node : graph.node()) {
    for (const auto* names : {&node.input(), &node.output()}) {
      for (const std::string& name : *names) {
        if (malformed(name)) {
          return &name;
        }
      }
    }
  }
  return nullptr;
}

/// Reserves every name the model gives a value, so that the importer's own names avoid them,
/// and counts the readers of each value. Names must be well-formed UTF-8: a graph file holds
/// text, and two names that differ only in malformed bytes must not become one there.
Result<void> index_names(Conversion& conversion, const onnx::GraphProto& graph) {
  if (const std::string* name = malformed_name(graph)) {
    std::ostringstream message;
    message << "value name ";
    write_escaped(message, *name);
    message << " is not well-formed UTF-8";
    return CompileError::graph(message.str());
  }
  for (const onnx::ValueInfoProto& input : graph.input()) {
    conversion.names.insert(input.name());
  }
  for (const onnx::TensorProto& initializer : graph.initializer()) {
    conversion.names.insert(initializer.name());
  }
  for (const onnx::NodeProto& node : graph.node()) {
    for (const std::string& input : node.input()) {
      ++conversion.readers[input];
    }
    conversion.names.insert(node.output().begin(), node.output().end());
  }
  for (const onnx::ValueInfoProto& output : graph.output()) {
    ++conversion.readers[output.name()];
    conversion.names.insert(output.name());
  }
  return {};
}

/// Decodes every initializer into a constant. Float ones take their bytes over from the message,
/// so that the weights are never held twice; integer ones, shapes for instance, stay in the
/// message too, for shape inference.
Result<void> declare_initializers(Conversion& conversion, onnx::GraphProto& graph) {
  if (graph.sparse_initializer_size() > 0) {
    return CompileError::graph("sparse initializer \"" +
                               graph.sparse_initializer(0).values().name() + "\" is not supported");
  }
  for (onnx::TensorProto& initializer : *graph.mutable_initializer()) {
    Result<Value> value = decoded_constant(conversion, initializer, initializer.name());
    if (!value) {
      return CompileError::graph("initializer \"" + initializer.name() +
                                 "\": " + value.error().message);
    }
    conversion.values.insert_or_assign(initializer.name(), std::move(*value));
  }
  return {};
}

/// The shape of a graph input, symbolic dimensions taken from the options.
Result<std::vector<std::uint64_t>> input_shape(const onnx::ValueInfoProto& input,
                                               const OnnxImportOptions& options) {
  const std::string prefix = "input \"" + input.name() + "\"";
  const onnx::TypeProto::Tensor& type = input.type().tensor_type();
  if (!type.has_shape()) {
    return CompileError::graph(prefix + " has no shape");
  }
  if (type.shape().dim_size() == 0) {
    return CompileError::graph(prefix + " is a scalar; the graph has no rank-0 tensors");
  }
  std::vector<std::uint64_t> shape;
  for (const onnx::TensorShapeProto::Dimension& dimension : type.shape().dim()) {
    const std::string which = prefix + " dimension " + std::to_string(shape.size());
    if (dimension.has_dim_value()) {
      if (dimension.dim_value() <= 0) {
        return CompileError::graph(which + " is " + std::to_string(dimension.dim_value()) +
                                   "; the graph has no empty tensors");
      }
      shape.push_back(static_cast<std::uint64_t>(dimension.dim_value()));
    } else if (dimension.has_dim_param()) {
      const auto given = options.dimensions.find(dimension.dim_param());
      if (given == options.dimensions.end()) {
        return CompileError::graph(prefix + ": symbolic dimension \"" + dimension.dim_param() +
                                   "\" has no value");
      }
      if (given->second == 0) {
        return CompileError::graph(prefix + ": symbolic dimension \"" + dimension.dim_param() +
                                   "\" is given as 0; the graph has no empty tensors");
      }
      shape.push_back(given->second);
    } else {
      return CompileError::graph(which + " has neither an extent nor a name");
    }
  }
  if (!element_count(shape)) {
    return CompileError::graph(prefix + " of shape " + shape_text(shape) +
                               " has too many elements");
  }
  return shape;
}

/// Makes an Input tensor of every float or integer input that has no initializer, an I32 one for
/// INT32 and INT64. Inputs of other types are refused by the nodes that read them; one that
/// nothing reads is refused here.
Result<void> declare_inputs(Conversion& conversion, const onnx::GraphProto& graph,
                            const OnnxImportOptions& options) {
  for (const onnx::ValueInfoProto& input : graph.input()) {
    if (conversion.values.contains(input.name())) {
      continue; // an initializer gives it a value: a constant
    }
    if (!input.type().has_tensor_type()) {
      return CompileError::graph("input \"" + input.name() + "\" is not a tensor");
    }
    const std::int32_t data_type = input.type().tensor_type().elem_type();
    // Integer inputs (token ids, masks) are I32 tensors; the values given for them are
    // range-checked where they are bound.
    const bool integer =
        data_type == onnx::TensorProto::INT64 || data_type == onnx::TensorProto::INT32;
    if (data_type != onnx::TensorProto::FLOAT && !integer) {
      if (conversion.readers[input.name()] == 0) {
        return CompileError::graph("input \"" + input.name() + "\" has data type " +
                                   data_type_name(data_type) +
                                   "; only FLOAT (float32) is supported");
      }
      conversion.values.insert_or_assign(input.name(),
                                         Value{input.name(), data_type, {}, {}, std::nullopt});
      continue;
    }
    Result<std::vector<std::uint64_t>> shape = input_shape(input, options);
    if (!shape) {
      return shape.error();
    }
    const TensorId tensor =
        conversion.graph().input(input.name(), *shape, integer ? DType::I32 : DType::F32);
    conversion.values.insert_or_assign(
        input.name(), Value{input.name(), data_type, std::move(*shape), tensor, std::nullopt});
    conversion.model.input_names.push_back(input.name());
  }
  return {};
}

/// Converts every node in order: a fusion at its last node, the other nodes of a fusion not at
/// all, every other node by the converter of its operator at the model's operator set.
/// Counts what converting the node at `position` added to the graph's structure against the
/// memory limit: each new tensor's shape three times (the tensor, the operation that makes it,
/// the importer's value) and its name twice, and each output's value, with a fixed overhead for
/// the records around them. An upper bound of what the conversion holds beyond the data.
Result<void> charge_structure(Conversion& conversion, const Node& node,
                              std::size_t first_new_tensor) {
  constexpr std::uint64_t record_overhead = 256;
  const std::vector<Tensor>& tensors = conversion.graph().tensors;
  std::uint64_t bytes = 0;
  for (std::size_t t = first_new_tensor; t < tensors.size(); ++t) {
    bytes += 3 * tensors[t].shape.size() * sizeof(std::uint64_t) + 2 * tensors[t].name.size() +
             record_overhead;
  }
  for (const std::string& output : node.proto.output()) {
    if (const auto found = conversion.values.find(output); found != conversion.values.end()) {
      bytes += found->second.shape.size() * sizeof(std::uint64_t) + output.size() + record_overhead;
    }
  }
  conversion.structure_bytes += bytes;
  if (conversion.structure_bytes > conversion.memory_limit) {
    return node_error(node, "importing the node takes the graph past the memory limit of " +
                                std::to_string(conversion.memory_limit) + " bytes");
  }
  return {};
}

Result<void> convert_nodes(Conversion& conversion, const onnx::GraphProto& graph,
                           const std::vector<Fusion>& fusions) {
  std::vector<const Fusion*> fused_at(static_cast<std::size_t>(graph.node_size()), nullptr);
  std::vector<bool> covered(fused_at.size(), false);
  for (const Fusion& fusion : fusions) {
    fused_at[fusion.nodes.back()] = &fusion;
    for (const std::size_t node : fusion.nodes) {
      covered[node] = true;
    }
  }
  for (std::size_t position = 0; position < fused_at.size(); ++position) {
    const onnx::NodeProto& proto = graph.node(static_cast<int>(position));
    const std::string label = is_default_domain(proto.domain())
                                  ? proto.op_type()
                                  : proto.domain() + "." + proto.op_type();
    const Node node{proto, position, label};
    const std::size_t first_new_tensor = conversion.graph().tensors.size();
    Result<void> converted;
    if (fused_at[position] != nullptr) {
      converted = convert_fusion(conversion, graph, *fused_at[position]);
    } else if (!covered[position]) {
      converted = convert_node(conversion, node);
    }
    if (!converted) {
      return converted.error();
    }
    if (Result<void> charged = charge_structure(conversion, node, first_new_tensor); !charged) {
      return charged.error();
    }
  }
  return {};
}

/// Marks the outputs in order. An output must be a graph tensor of its own name: a value that
/// names another tensor (an Identity of an input, say) gets a Reshape of its name.
Result<void> mark_outputs(Conversion& conversion, const onnx::GraphProto& graph) {
  Graph& result = conversion.graph();
  for (const onnx::ValueInfoProto& output : graph.output()) {
    const std::string prefix = "output \"" + output.name() + "\"";
    const auto found = conversion.values.find(output.name());
    if (found == conversion.values.end()) {
      return CompileError::graph(prefix + " is not defined");
    }
    const Value& value = found->second;
    if (value.data_type != onnx::TensorProto::FLOAT) {
      return CompileError::graph(prefix + " has data type " + data_type_name(value.data_type) +
                                 "; only FLOAT (float32) is supported");
    }
    Result<TensorId> tensor = value.tensor ? *value.tensor : constant_tensor(conversion, value);
    if (!tensor) {
      return CompileError::graph(prefix + ": " + tensor.error().message);
    }
    // The output's own name is free unless the output is listed twice.
    const Tensor& record = result.tensors[tensor->index];
    if (record.name != output.name()) {
      tensor = result.reshape(output.name(), *tensor, record.shape);
    } else if (record.kind == TensorKind::Output) {
      tensor = result.reshape(fresh_name(conversion, output.name()), *tensor, record.shape);
    }
    result.mark_output(tensor.value());
    conversion.model.output_names.push_back(output.name());
  }
  return {};
}

/// "[2, batch, ?]": a declared shape, symbolic dimensions by name.
std::string declared_text(const onnx::TensorShapeProto& shape) {
  std::string text = "[";
  for (int i = 0; i < shape.dim_size(); ++i) {
    const onnx::TensorShapeProto::Dimension& dimension = shape.dim(i);
    text +=
        (i == 0 ? "" : ", ") + (dimension.has_dim_value()   ? std::to_string(dimension.dim_value())
                                : dimension.has_dim_param() ? dimension.dim_param()
                                                            : std::string("?"));
  }
  return text + "]";
}

/// Whether a declared type fits a value: a tensor of its data type whose shape, if declared, has
/// its rank and its extents where they are numbers.
bool declaration_fits(const onnx::TypeProto& type, std::int32_t data_type,
                      const std::vector<std::uint64_t>& shape) {
  if (!type.has_tensor_type()) {
    return false;
  }
  const onnx::TypeProto::Tensor& tensor = type.tensor_type();
  if (tensor.elem_type() != onnx::TensorProto::UNDEFINED && tensor.elem_type() != data_type) {
    return false;
  }
  if (!tensor.has_shape()) {
    return true;
  }
  if (static_cast<std::size_t>(tensor.shape().dim_size()) != shape.size()) {
    return false;
  }
  for (std::size_t i = 0; i < shape.size(); ++i) {
    const onnx::TensorShapeProto::Dimension& dimension = tensor.shape().dim(static_cast<int>(i));
    if (dimension.has_dim_value() &&
        (dimension.dim_value() < 0 ||
         static_cast<std::uint64_t>(dimension.dim_value()) != shape[i])) {
      return false;
    }
  }
  return true;
}

/// Compares the types the model declares for its outputs, for inputs that initializers give
/// values, and for other values, with what the conversion found, and drops the declarations of
/// values it did not see (inside fused patterns). Shape inference starts from the declared
/// types and trusts them, so it must never see a wrong one.
Result<void> check_declarations(const Conversion& conversion, onnx::GraphProto& graph) {
  const auto check = [&](const onnx::ValueInfoProto& info, std::string_view what) -> Result<void> {
    const Value& value = conversion.values.at(info.name());
    if (declaration_fits(info.type(), value.data_type, value.shape)) {
      return {};
    }
    const onnx::TypeProto::Tensor& declared = info.type().tensor_type();
    return CompileError::graph(
        std::string(what) + " \"" + info.name() + "\" is declared as " +
        (info.type().has_tensor_type() ? data_type_name(declared.elem_type()) + " " +
                                             (declared.has_shape() ? declared_text(declared.shape())
                                                                   : std::string("of any shape"))
                                       : std::string("no tensor")) +
        ", but it is " + data_type_name(value.data_type) + " " + shape_text(value.shape));
  };
  for (const onnx::ValueInfoProto& input : graph.input()) {
    const Value& value = conversion.values.at(input.name());
    if (value.constant) {
      if (Result<void> fits = check(input, "input"); !fits) {
        return fits;
      }
    }
  }
  for (const onnx::ValueInfoProto& output : graph.output()) {
    if (Result<void> fits = check(output, "output"); !fits) {
      return fits;
    }
  }
  auto& infos = *graph.mutable_value_info();
  for (const onnx::ValueInfoProto& info : infos) {
    if (conversion.values.contains(info.name())) {
      if (Result<void> fits = check(info, "value"); !fits) {
        return fits;
      }
    }
  }
  infos.erase(std::remove_if(infos.begin(), infos.end(),
                             [&](const onnx::ValueInfoProto& info) {
                               return !conversion.values.contains(info.name());
                             }),
              infos.end());
  return {};
}

/// Hands the values of every weight over to the model, in tensor order.
void collect_weights(Conversion& conversion) {
  for (ConstantData& data : conversion.data) {
    if (!data.weight) {
      continue;
    }
    if (conversion.graph().tensors[data.weight->index].dtype == DType::I32) {
      conversion.model.weights.push_back(
          WeightValues{*data.weight, int32_bytes(data.integers), DType::I32});
    } else {
      conversion.model.weights.push_back(WeightValues{*data.weight, std::move(data.float_bytes)});
    }
  }
  std::sort(
      conversion.model.weights.begin(), conversion.model.weights.end(),
      [](const WeightValues& a, const WeightValues& b) { return a.tensor.index < b.tensor.index; });
}

Result<OnnxModel> convert_model(onnx::ModelProto& model, const OnnxImportOptions& options,
                                std::uint64_t file_bytes) {
  Conversion conversion;
  conversion.opset = default_opset(model);
  conversion.expansion_limit = options.expansion_limit;
  conversion.memory_limit = options.memory_limit;
  if (conversion.memory_limit == 0) {
    constexpr std::uint64_t bytes_per_file_byte = 16;
    constexpr std::uint64_t floor_bytes = std::uint64_t{64} << 20U;
    conversion.memory_limit =
        file_bytes > (std::numeric_limits<std::uint64_t>::max() - floor_bytes) / bytes_per_file_byte
            ? std::numeric_limits<std::uint64_t>::max()
            : bytes_per_file_byte * file_bytes + floor_bytes;
  }
  onnx::GraphProto& graph = *model.mutable_graph();
  if (Result<void> indexed = index_names(conversion, graph); !indexed) {
    return indexed.error();
  }
  // Before the initializers give up their bytes: the matchers read the patterns' constants.
  const std::vector<Fusion> fusions = find_fusions(graph);
  if (Result<void> declared = declare_initializers(conversion, graph); !declared) {
    return declared.error();
  }
  if (Result<void> declared = declare_inputs(conversion, graph, options); !declared) {
    return declared.error();
  }
  if (Result<void> converted = convert_nodes(conversion, graph, fusions); !converted) {
    return converted.error();
  }
  if (Result<void> marked = mark_outputs(conversion, graph); !marked) {
    return marked.error();
  }
  if (Result<void> declared = check_declarations(conversion, graph); !declared) {
    return declared.error();
  }
  collect_weights(conversion);
  if (Result<void> valid = conversion.model.graph.validate(); !valid) {
    return valid.error();
  }
  return std::move(conversion.model);
}

/// Turns the float initializers, whose bytes the constants took over, into declared inputs of
/// their type and shape. Shape inference reads the values of some initializers (a `Range`'s
/// bounds, a `Resize`'s scales) and must never be handed a tensor whose data is gone.
void declare_taken_initializers(onnx::GraphProto& graph) {
  std::unordered_set<std::string> inputs;
  for (const onnx::ValueInfoProto& input : graph.input()) {
    inputs.insert(input.name());
  }
  const auto taken = [](const onnx::TensorProto& initializer) {
    return initializer.data_type() == onnx::TensorProto::FLOAT;
  };
  auto& initializers = *graph.mutable_initializer();
  for (const onnx::TensorProto& initializer : initializers) {
    if (!taken(initializer) || inputs.contains(initializer.name())) {
      continue;
    }
    onnx::ValueInfoProto& input = *graph.add_input();
    input.set_name(initializer.name());
    onnx::TypeProto::Tensor& type = *input.mutable_type()->mutable_tensor_type();
    type.set_elem_type(onnx::TensorProto::FLOAT);
    onnx::TensorShapeProto& shape = *type.mutable_shape();
    for (const std::int64_t extent : initializer.dims()) {
      shape.add_dim()->set_dim_value(extent);
    }
  }
  initializers.erase(std::remove_if(initializers.begin(), initializers.end(), taken),
                     initializers.end());
}

} // namespace

Result<OnnxModel> import_onnx(const std::filesystem::path& file, const OnnxImportOptions& options) {
  const auto failed = [&](const CompileError& error) {
    return CompileError::graph(file.string() + ": " + error.message);
  };
  Result<onnx::ModelProto> model = read_model(file);
  if (!model) {
    return failed(model.error());
  }
  std::error_code size_error;
  const std::uintmax_t file_bytes = std::filesystem::file_size(file, size_error);
  Result<OnnxModel> imported =
      convert_model(*model, options, size_error ? 0 : static_cast<std::uint64_t>(file_bytes));
  if (!imported) {
    return failed(imported.error());
  }
  declare_taken_initializers(*model->mutable_graph());
  if (Result<void> inferred = infer_shapes(*model); !inferred) {
    return failed(inferred.error());
  }
  return imported;
}

} // namespace orvik_compiler
