// `orvik run`'s work: binding values by tensor name, evaluating, and writing the outputs as .npy
// files.

#include "run_graph.hpp"

#include "display.hpp"
#include "graph_file.hpp"
#include "npy_file.hpp"

#include <orvik_compiler/debug_text.hpp>
#include <orvik_compiler/onnx.hpp>

#include <algorithm>
#include <map>
#include <set>
#include <span>
#include <sstream>
#include <variant>

namespace orvik_tool {
namespace {

using orvik_compiler::Graph;
using orvik_compiler::TensorId;
using orvik_compiler::TensorValue;

/// The tensors called `name`, in the graph's order.
std::vector<TensorId> tensors_named(const Graph& graph, std::string_view name) {
  std::vector<TensorId> matches;
  for (const orvik_compiler::Tensor& tensor : graph.tensors) {
    if (tensor.name == name) {
      matches.push_back(tensor.id);
    }
  }
  return matches;
}

/// The one tensor called `name` that `--input input` binds, or why there is not exactly one.
ToolResult<TensorId> input_tensor(const Graph& graph, const std::string& name,
                                  const std::string& input) {
  const std::vector<TensorId> matches = tensors_named(graph, name);
  if (matches.size() == 1) {
    return matches.front();
  }
  return tool_error(exit_usage_error, "--input " + input + ": " +
                                          (matches.empty() ? "no tensor is named " + name
                                                           : std::to_string(matches.size()) +
                                                                 " tensors are named " + name));
}

/// Whether a tensor's name can stand as NAME in DIR/NAME.npy without leaving DIR.
bool is_file_name(const std::string& name) {
  // Every character prints as itself: no line break, escape sequence or malformed byte reaches
  // a directory listing or the report of the files written.
  std::ostringstream printed;
  orvik_compiler::write_printable(printed, name);
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("/\n") == std::string::npos && printed.str() == name;
}

/// A name between quotes with the debug text's escapes, for messages.
std::string quoted_name(std::string_view name) {
  std::ostringstream quoted;
  orvik_compiler::write_escaped(quoted, name);
  return quoted.str();
}

/// The values of an --input file, read up to `max_bytes`: an ONNX tensor file (.pb) or a .npy
/// file.
ToolResult<NpyArray> read_values(const std::string& path, std::uint64_t max_bytes) {
  const ToolResult<std::string> bytes = read_input_file(path, max_bytes);
  if (!bytes) {
    return bytes.failure();
  }
  if (path.ends_with(".pb")) {
    orvik_compiler::Result<orvik_compiler::OnnxTensor> tensor =
        orvik_compiler::parse_onnx_tensor(*bytes);
    if (!tensor) {
      return tool_error(exit_usage_error, path + ": " + tensor.error().message);
    }
    if (tensor->dtype == orvik_compiler::DType::I32) {
      return NpyArray{std::move(tensor->shape), std::move(tensor->int_values)};
    }
    return NpyArray{std::move(tensor->shape), std::move(tensor->values)};
  }
  return read_npy(*bytes, path);
}

/// The element type of values read from a file.
orvik_compiler::DType type_of(const orvik_compiler::TensorData& values) {
  return std::holds_alternative<std::vector<float>>(values) ? orvik_compiler::DType::F32
                                                            : orvik_compiler::DType::I32;
}

/// Values read from a file, to bind in place.
orvik_compiler::TensorValue bound_value(TensorId id, const orvik_compiler::TensorData& values) {
  return {id, std::visit(
                  [](const auto& held) -> decltype(TensorValue::data) { return std::span(held); },
                  values)};
}

/// The self-check's input pattern extended to the encoder's size: element i is (i - 9) / 16.
std::vector<float> encoder_input(const orvik_compiler::EncoderConfig& config) {
  std::vector<float> input(config.sequence * config.hidden);
  for (std::size_t i = 0; i < input.size(); ++i) {
    input[i] = (static_cast<float>(i) - 9.0F) / 16.0F;
  }
  return input;
}

/// The tensors that the evaluation reads without computing them, an operation's operand or an
/// output, and that `bound` gives no value, in the graph's order. Ids outside the graph are
/// left to the evaluation to refuse.
std::vector<TensorId> unbound_tensors(const Graph& graph, const std::vector<TensorValue>& bound) {
  std::vector<bool> needed(graph.tensors.size(), false);
  const auto need = [&](TensorId id) {
    if (id.index < needed.size()) {
      needed[id.index] = true;
    }
  };
  for (const orvik_compiler::Op& op : graph.ops) {
    std::for_each(op.inputs.begin(), op.inputs.end(), need);
  }
  std::for_each(graph.outputs.begin(), graph.outputs.end(), need);
  for (const orvik_compiler::Op& op : graph.ops) {
    if (op.output.index < needed.size()) {
      needed[op.output.index] = false;
    }
  }
  for (const TensorValue& value : bound) {
    if (value.tensor.index < needed.size()) {
      needed[value.tensor.index] = false;
    }
  }
  std::vector<TensorId> unbound;
  for (std::uint64_t index = 0; index < needed.size(); ++index) {
    if (needed[index]) {
      unbound.push_back(TensorId{index});
    }
  }
  return unbound;
}

/// The failure for tensors that need a value: how many, how to bind them, and a line for each
/// with its name as the tool shows names and its shape.
ToolFailure no_values(const Graph& graph, const std::vector<TensorId>& unbound) {
  const bool one = unbound.size() == 1;
  std::string message =
      std::to_string(unbound.size()) +
      (one ? " tensor has no value; bind it" : " tensors have no value; bind each") +
      " with --input NAME=FILE (.npy or .pb):";
  for (const TensorId id : unbound) {
    const orvik_compiler::Tensor& tensor = graph.tensors[id.index];
    message += "\n  " + display_name(tensor.name) + " " + shape_text(tensor.shape);
  }
  return tool_error(exit_compile_error, message);
}

} // namespace

std::vector<MemoryUse> run_memory_uses(const Graph& graph) {
  using Bytes = orvik_compiler::schedule_io::ByteBound;
  const std::vector<TensorId> sources = unbound_tensors(graph, {});
  Bytes values;
  for (const TensorId id : sources) {
    // A value's elements take 4 bytes whatever the type, in one block of the heap.
    values += Bytes{npy_size_bound(graph.tensors[id.index].shape)};
  }
  // Each output file once, however often its tensor is marked, and the line that reports it.
  std::set<std::uint64_t> written;
  Bytes files;
  std::uint64_t largest = 0;
  for (const TensorId id : graph.outputs) {
    if (id.index >= graph.tensors.size() || !written.insert(id.index).second) {
      continue;
    }
    const orvik_compiler::Tensor& tensor = graph.tensors[id.index];
    const std::uint64_t file = npy_size_bound(tensor.shape);
    files +=
        Bytes{file} + Bytes{2 * (64 + tensor.name.size())} + Bytes{22} * Bytes{tensor.shape.size()};
    largest = std::max(largest, file);
  }
  return {{"graph", graph_memory(graph)},
          {"values", values.value},
          {"evaluation", orvik_compiler::evaluation_memory_bound(graph)},
          {"outputs", (files + Bytes{largest}).value}};
}

ToolResult<RunFiles> run_graph(const Graph& graph, const RunRequest& request) {
  if (const ToolResult<void> fits =
          check_memory_budget(run_memory_uses(graph), request.memory_budget);
      !fits) {
    return fits.failure();
  }
  // The encoder's default values by tensor index; an --input for one of them replaces it.
  std::map<std::uint64_t, std::vector<float>> defaults;
  if (request.encoder) {
    orvik_compiler::EncoderWeights weights =
        orvik_compiler::EncoderWeights::deterministic(*request.encoder);
    std::pair<const char*, std::vector<float>*> named[] = {
        {"wq", &weights.wq}, {"wk", &weights.wk}, {"wv", &weights.wv},
        {"wo", &weights.wo}, {"w1", &weights.w1}, {"w2", &weights.w2}};
    // The encoder's graph has one tensor of each of these names.
    defaults[tensors_named(graph, "input").front().index] = encoder_input(*request.encoder);
    for (const auto& [name, values] : named) {
      defaults[tensors_named(graph, name).front().index] = std::move(*values);
    }
  }
  RunFiles files;
  // Every --input is read before anything is evaluated. Two for one tensor are both bound, which
  // the evaluation reports.
  std::vector<std::pair<TensorId, orvik_compiler::TensorData>> given;
  for (const std::string& input : request.inputs) {
    const std::size_t equals = input.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 == input.size()) {
      return tool_error(exit_usage_error, "--input " + input + " is not NAME=FILE");
    }
    const std::string name = input.substr(0, equals);
    const std::string path = input.substr(equals + 1);
    const ToolResult<TensorId> id = input_tensor(graph, name, input);
    if (!id) {
      return id.failure();
    }
    ToolResult<NpyArray> read = read_values(path, request.max_input_bytes);
    if (!read) {
      return read.failure();
    }
    NpyArray& values = *read;
    const orvik_compiler::Tensor& tensor = graph.tensors[id->index];
    if (values.shape != tensor.shape) {
      return tool_error(exit_usage_error, path + ": shape " + shape_text(values.shape) +
                                              " is not the shape " + shape_text(tensor.shape) +
                                              " of tensor " + name);
    }
    // Integers never stand for floats nor floats for integers: a file of the other type is
    // most likely bound to the wrong tensor.
    if (type_of(values.values) != tensor.dtype) {
      const bool integers = tensor.dtype == orvik_compiler::DType::I32;
      return tool_error(exit_usage_error, path + ": " + (integers ? "float" : "integer") +
                                              " values cannot be bound to tensor " + name +
                                              ", which is " + (integers ? "I32" : "F32"));
    }
    defaults.erase(tensor.id.index);
    given.emplace_back(tensor.id, std::move(values.values));
    files.inputs.push_back({"value file", path});
  }
  std::vector<TensorValue> bound;
  for (const auto& [index, values] : defaults) {
    bound.push_back({TensorId{index}, values});
  }
  for (const TensorValue& value : request.values) {
    const bool replaced = std::any_of(
        given.begin(), given.end(), [&](const auto& input) { return input.first == value.tensor; });
    if (!replaced) {
      bound.push_back(value);
    }
  }
  for (const auto& [id, values] : given) {
    bound.push_back(bound_value(id, values));
  }

  // The outputs' file names are checked before the work is done; a tensor marked twice is
  // written once.
  std::map<std::string, TensorId> named_outputs;
  for (const TensorId id : graph.outputs) {
    const std::string& name = graph.tensors[id.index].name;
    if (!is_file_name(name)) {
      return tool_error(exit_usage_error,
                        "output tensor " + quoted_name(name) + " cannot be a file name");
    }
    const auto [entry, inserted] = named_outputs.emplace(name, id);
    if (!inserted && entry->second != id) {
      return tool_error(exit_usage_error, "two outputs are named " + name);
    }
  }

  // Every tensor still without a value is listed at once, rather than the first one alone.
  if (const std::vector<TensorId> unbound = unbound_tensors(graph, bound); !unbound.empty()) {
    return no_values(graph, unbound);
  }
  const orvik_compiler::Result<std::vector<orvik_compiler::TensorData>> outputs =
      orvik_compiler::evaluate_typed(graph, bound);
  if (!outputs) {
    return tool_error(exit_compile_error, outputs.error().message);
  }
  const bool slash = request.directory.empty() || request.directory.back() == '/';
  const std::string prefix = request.directory == "." ? "" : request.directory + (slash ? "" : "/");
  std::set<std::string> paths;
  std::string report;
  for (std::size_t i = 0; i < graph.outputs.size(); ++i) {
    const orvik_compiler::Tensor& tensor = graph.tensors[graph.outputs[i].index];
    const std::string path = prefix + tensor.name + ".npy";
    if (!paths.insert(path).second) {
      continue;
    }
    std::string bytes =
        std::visit([&](const auto& values) { return write_npy(tensor.shape, std::span(values)); },
                   (*outputs)[i]);
    files.outputs.push_back({path, std::move(bytes), "-o"});
    report += "wrote " + path + ": " + shape_text(tensor.shape) + "\n";
  }
  files.outputs.push_back({"-", std::move(report), ""});
  return files;
}

} // namespace orvik_tool
