// Reading and writing graph files.

#include "graph_file.hpp"

#include "schedule_io/strict_json.hpp"

#include <orvik_compiler/compiler.hpp>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>
#include <variant>

namespace orvik_tool {
namespace {

using nlohmann::json;
// Written files keep their keys in the order of a step's fields.
using nlohmann::ordered_json;
using orvik_compiler::Graph;
using orvik_compiler::OpKind;
using orvik_compiler::Result;
using orvik_compiler::TensorId;
using orvik_compiler::schedule_io::member_path;
using orvik_compiler::schedule_io::parse_strict_json;

constexpr std::string_view format_name = "orvik-graph";
constexpr std::uint64_t format_version = 1;
/// Deeper nesting than any graph file needs is refused before parsing, so that no input can
/// exhaust the stack.
constexpr std::size_t max_nesting = 16;

/// A visitor made of one lambda per alternative.
template <class... Lambdas>
struct Overloaded : Lambdas... {
  using Lambdas::operator()...;
};
template <class... Lambdas>
Overloaded(Lambdas...) -> Overloaded<Lambdas...>;

/// A step that cannot be replayed; caught per step and turned into a diagnostic.
struct StepError {
  std::string message;
};

std::string quoted_name(std::string_view text) {
  std::ostringstream out;
  orvik_compiler::write_escaped(out, text);
  return out.str();
}

/// The JSON path of the step at `position`, counted from 1.
std::string step_path(std::size_t position) {
  return "$.steps[" + std::to_string(position - 1) + "]";
}

/// The fields of one step, read by name. The fields read are remembered, so that any other
/// field of the step, most likely a misspelt one, is reported as unknown.
class StepFields {
public:
  StepFields(const json& step, std::size_t position) : step_(step), position_(position) {}

  const json& field(const char* name) {
    const auto found = step_.find(name);
    if (found == step_.end()) {
      throw StepError{"missing field \"" + std::string(name) + "\""};
    }
    read_.emplace_back(name);
    return *found;
  }

  std::string string_field(const char* name) {
    const json& value = field(name);
    if (!value.is_string()) {
      throw StepError{"field \"" + std::string(name) + "\" must be a string"};
    }
    return value.get<std::string>();
  }

  std::uint64_t count_field(const char* name) {
    const json& value = field(name);
    if (!value.is_number_unsigned()) {
      throw StepError{"field \"" + std::string(name) + "\" must be a non-negative integer"};
    }
    return value.get<std::uint64_t>();
  }

  std::vector<std::uint64_t> counts_field(const char* name) {
    const json& value = field(name);
    std::vector<std::uint64_t> counts;
    if (value.is_array()) {
      for (const json& element : value) {
        if (!element.is_number_unsigned()) {
          counts.clear();
          break;
        }
        counts.push_back(element.get<std::uint64_t>());
      }
      if (counts.size() == value.size()) {
        return counts;
      }
    }
    throw StepError{"field \"" + std::string(name) +
                    "\" must be an array of non-negative integers"};
  }

  float float_field(const char* name) {
    const json& value = field(name);
    // A number beyond the float range has no float to stand for it; converting it would be
    // undefined, so it is refused like any other ill-typed field.
    if (!value.is_number() ||
        !(std::fabs(value.get<double>()) <= std::numeric_limits<float>::max())) {
      throw StepError{"field \"" + std::string(name) + "\" must be a number in the float range"};
    }
    const double number = value.get<double>();
    const auto rounded = static_cast<float>(number);
    if (number != 0.0 && rounded == 0.0F) {
      throw StepError{"field " + member_path(step_path(position_), name) + ": " + value.dump() +
                      " rounds to zero as a 32-bit float"};
    }
    return rounded;
  }

  /// Throws for the first field, in key order, that was not read.
  void check_all_read() const {
    for (const auto& [name, value] : step_.items()) {
      if (std::find(read_.begin(), read_.end(), name) == read_.end()) {
        throw StepError{"unknown field " + member_path(step_path(position_), name)};
      }
    }
  }

private:
  const json& step_;
  std::size_t position_;
  std::vector<std::string_view> read_;
};

/// Replays one step at a time, keeping the names defined so far.
class Replay {
public:
  /// Replays the step at `position`, counted from 1.
  void step(const json& step, std::size_t position) {
    if (!step.is_object()) {
      throw StepError{"a step must be an object"};
    }
    StepFields fields(step, position);
    const std::string kind = fields.string_field("op");
    if (kind == "output") {
      graph_.mark_output(operand(fields, "tensor"));
      fields.check_all_read();
      return;
    }
    std::string name = fields.string_field("name");
    if (names_.count(name) != 0) {
      throw StepError{"name " + quoted_name(name) + " is already defined"};
    }
    const TensorId defined = define(kind, name, fields);
    fields.check_all_read();
    names_.emplace(std::move(name), defined);
  }

  Graph take() { return std::move(graph_); }

private:
  TensorId operand(StepFields& fields, const char* role) {
    const std::string name = fields.string_field(role);
    const auto found = names_.find(name);
    if (found == names_.end()) {
      throw StepError{"unknown tensor " + quoted_name(name)};
    }
    return found->second;
  }

  static TensorId built(Result<TensorId> result) {
    if (!result) {
      throw StepError{result.error().message};
    }
    return *result;
  }

  TensorId define(const std::string& kind, const std::string& name, StepFields& fields) {
    if (kind == "input") {
      return graph_.input(name, fields.counts_field("shape"));
    }
    if (kind == "weight") {
      return graph_.weight(name, fields.counts_field("shape"));
    }
    const std::optional<OpKind> operation = orvik_compiler::operation_kind(kind);
    if (!operation) {
      throw StepError{"unknown step kind " + quoted_name(kind)};
    }
    // One builder call per operation kind, its parameters read from the step's fields.
    const auto left = [&] { return operand(fields, "left"); };
    const auto right = [&] { return operand(fields, "right"); };
    const auto input = [&] { return operand(fields, "input"); };
    return built(std::visit(
        Overloaded{[&](const OpKind::MatMul&) { return graph_.matmul(name, left(), right()); },
                   [&](const OpKind::Add&) { return graph_.add(name, left(), right()); },
                   [&](const OpKind::Mul&) { return graph_.mul(name, left(), right()); },
                   [&](const OpKind::Reshape&) {
                     return graph_.reshape(name, input(), fields.counts_field("shape"));
                   },
                   [&](const OpKind::Transpose&) {
                     return graph_.transpose(name, input(), fields.counts_field("permutation"));
                   },
                   [&](const OpKind::LayerNorm&) {
                     return graph_.layer_norm(name, input(), fields.float_field("epsilon"));
                   },
                   [&](const OpKind::Softmax&) {
                     return graph_.softmax(name, input(), fields.count_field("axis"));
                   },
                   [&](const OpKind::Gelu&) { return graph_.gelu(name, input()); }},
        operation->value));
  }

  Graph graph_;
  std::unordered_map<std::string, TensorId> names_;
};

/// A graph file that cannot be read: the usage status and the diagnostic.
ToolFailure unreadable(std::string diagnostic) {
  return {exit_usage_error, std::move(diagnostic)};
}

std::string step_error(std::string_view file, std::size_t position, const json& step,
                       std::string_view message) {
  std::ostringstream out;
  out << file << ": error: step " << position;
  const auto name = step.is_object() ? step.find("name") : step.end();
  if (step.is_object() && name != step.end() && name->is_string()) {
    out << ' ' << quoted_name(name->get<std::string>());
  }
  out << ": " << message;
  return out.str();
}

} // namespace

ToolResult<Graph> read_graph_file(std::string_view text, std::string_view file) {
  const auto file_error = [&](std::string_view message) {
    return unreadable(std::string(file) + ": error: " + std::string(message));
  };
  const Result<json> parsed = parse_strict_json(text, file, max_nesting);
  if (!parsed) {
    return unreadable(parsed.error().message);
  }
  const json& document = *parsed;
  if (!document.is_object()) {
    return file_error("a graph file must be a JSON object");
  }
  const auto format = document.find("format");
  if (format == document.end() || *format != format_name) {
    return file_error("the field \"format\" must be \"orvik-graph\"");
  }
  const auto version = document.find("version");
  if (version != document.end() && !version->is_number_integer()) {
    return file_error("the field \"version\" must be the integer 1");
  }
  if (version == document.end() || *version != format_version) {
    return file_error("unsupported graph file version; this tool reads version 1");
  }
  const auto steps = document.find("steps");
  if (steps == document.end() || !steps->is_array()) {
    return file_error("the field \"steps\" must be an array");
  }
  for (const auto& [name, value] : document.items()) {
    if (name != "format" && name != "version" && name != "steps") {
      return file_error("unknown field " + member_path("$", name));
    }
  }
  Replay replay;
  std::size_t position = 0;
  for (const json& step : *steps) {
    ++position;
    try {
      replay.step(step, position);
    } catch (const StepError& error) {
      return unreadable(step_error(file, position, step, error.message));
    } catch (const std::overflow_error& error) {
      return unreadable(step_error(file, position, step, error.what()));
    }
  }
  return replay.take();
}

ToolResult<std::string> write_graph_file(const Graph& graph) {
  const auto refuse = [](const std::string& what) { return tool_error(exit_compile_error, what); };
  std::unordered_set<std::string_view> names;
  ordered_json steps = ordered_json::array();
  for (const orvik_compiler::Tensor& tensor : graph.tensors) {
    if (!names.insert(tensor.name).second) {
      return refuse("the name " + quoted_name(tensor.name) +
                    " is used twice, so the graph cannot be written as a graph file");
    }
    if (!tensor.producer) {
      const bool weight = tensor.kind == orvik_compiler::TensorKind::Weight;
      steps.push_back(
          {{"op", weight ? "weight" : "input"}, {"name", tensor.name}, {"shape", tensor.shape}});
      continue;
    }
    if (tensor.producer->index >= graph.ops.size()) {
      return refuse("tensor " + quoted_name(tensor.name) + " names no producer");
    }
    const orvik_compiler::Op& op = graph.ops[tensor.producer->index];
    if (op.output != tensor.id) {
      return refuse("tensor " + quoted_name(tensor.name) + " is not its producer's output");
    }
    std::vector<std::string> operands;
    for (const TensorId input : op.inputs) {
      if (input.index >= tensor.id.index) {
        return refuse("op " + quoted_name(op.name) + " reads a later tensor");
      }
      operands.push_back(graph.tensors[input.index].name);
    }
    const OpKind::Variant& kind = op.kind.value;
    const bool binary = std::holds_alternative<OpKind::MatMul>(kind) ||
                        std::holds_alternative<OpKind::Add>(kind) ||
                        std::holds_alternative<OpKind::Mul>(kind);
    if (operands.size() != (binary ? 2U : 1U)) {
      return refuse("op " + quoted_name(op.name) + " has an unexpected operand count");
    }
    // The steps are named like the kernels.
    ordered_json step{{"op", orvik_compiler::operation_name(op.kind)}, {"name", tensor.name}};
    if (binary) {
      step["left"] = operands[0];
      step["right"] = operands[1];
    } else {
      step["input"] = operands[0];
    }
    if (const auto* reshape = std::get_if<OpKind::Reshape>(&kind)) {
      step["shape"] = reshape->shape;
    } else if (const auto* transpose = std::get_if<OpKind::Transpose>(&kind)) {
      step["permutation"] = transpose->permutation;
    } else if (const auto* layer_norm = std::get_if<OpKind::LayerNorm>(&kind)) {
      step["epsilon"] = layer_norm->epsilon;
    } else if (const auto* softmax = std::get_if<OpKind::Softmax>(&kind)) {
      step["axis"] = softmax->axis;
    }
    steps.push_back(std::move(step));
  }
  for (const TensorId output : graph.outputs) {
    if (output.index >= graph.tensors.size()) {
      return refuse("an output names no tensor");
    }
    steps.push_back({{"op", "output"}, {"tensor", graph.tensors[output.index].name}});
  }
  // One step per line, so the file reads like the list of builder calls it replays.
  std::string text = "{\"format\": " + ordered_json(format_name).dump() +
                     ", \"version\": " + std::to_string(format_version) + ", \"steps\": [\n";
  for (std::size_t i = 0; i < steps.size(); ++i) {
    text += "  " + steps[i].dump(-1, ' ', false, ordered_json::error_handler_t::replace);
    text += i + 1 < steps.size() ? ",\n" : "\n";
  }
  return text + "]}\n";
}

} // namespace orvik_tool
