// Reading and writing graph files.

#include "graph_file.hpp"

#include "nearest_name.hpp"
#include "schedule_io/strict_json.hpp"

#include <orvik_compiler/compiler.hpp>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <span>
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

/// The names of an object's fields.
using FieldNames = std::vector<std::string_view>;

/// "unknown field PATH" for the first member of `object`, in key order, that is not one of
/// `known`, followed by "(did you mean NAME?)" for the known field that the object lacks and
/// that `nearest_name` finds: most likely the field that was meant.
std::optional<std::string> unknown_field(const json& object, const std::string& path,
                                         std::span<const std::string_view> known) {
  for (const auto& [name, value] : object.items()) {
    if (std::find(known.begin(), known.end(), name) != known.end()) {
      continue;
    }
    std::vector<std::string> absent;
    for (const std::string_view candidate : known) {
      if (!object.contains(candidate)) {
        absent.emplace_back(candidate);
      }
    }
    std::string message = "unknown field " + member_path(path, name);
    if (const std::string nearest = nearest_name(name, absent); !nearest.empty()) {
      message += " (did you mean " + nearest + "?)";
    }
    return message;
  }
  return std::nullopt;
}

/// The fields of a step that applies `operation`, "op" first.
FieldNames operation_field_names(const OpKind::Variant& operation) {
  const auto binary = [] { return FieldNames{"op", "name", "left", "right"}; };
  // An operation of one operand, with the field of its parameter if it has one.
  const auto unary = [](std::optional<std::string_view> parameter) {
    FieldNames names{"op", "name", "input"};
    if (parameter) {
      names.push_back(*parameter);
    }
    return names;
  };
  return std::visit(Overloaded{[&](const OpKind::MatMul&) { return binary(); },
                               [&](const OpKind::Add&) { return binary(); },
                               [&](const OpKind::Mul&) { return binary(); },
                               [&](const OpKind::Reshape&) { return unary("shape"); },
                               [&](const OpKind::Transpose&) { return unary("permutation"); },
                               [&](const OpKind::LayerNorm&) { return unary("epsilon"); },
                               [&](const OpKind::Softmax&) { return unary("axis"); },
                               [&](const OpKind::Gelu&) { return unary(std::nullopt); }},
                    operation);
}

/// The fields of the document.
constexpr std::array<std::string_view, 3> document_field_names{"format", "version", "steps"};
/// The fields of an "output" step.
constexpr std::array<std::string_view, 2> output_field_names{"op", "tensor"};
/// The fields of an "input" or "weight" step.
constexpr std::array<std::string_view, 3> value_field_names{"op", "name", "shape"};

/// The fields of a step of `kind`, "op" first, or nothing when `kind` is no step kind.
std::optional<FieldNames> step_field_names(std::string_view kind) {
  if (kind == "output") {
    return FieldNames(output_field_names.begin(), output_field_names.end());
  }
  if (kind == "input" || kind == "weight") {
    return FieldNames(value_field_names.begin(), value_field_names.end());
  }
  const std::optional<OpKind> operation = orvik_compiler::operation_kind(kind);
  if (!operation) {
    return std::nullopt;
  }
  return operation_field_names(operation->value);
}

/// The fields of the steps of every operation kind.
template <std::size_t... Alternative>
std::vector<FieldNames> operations_field_names(std::index_sequence<Alternative...>) {
  return {operation_field_names(OpKind::Variant(std::in_place_index<Alternative>))...};
}

/// Every field that some kind of step has, for a step that does not say its kind.
FieldNames all_step_field_names() {
  FieldNames names;
  const auto add = [&](const auto& fields) {
    for (const std::string_view name : fields) {
      if (std::find(names.begin(), names.end(), name) == names.end()) {
        names.push_back(name);
      }
    }
  };
  add(output_field_names);
  add(value_field_names);
  for (const FieldNames& fields :
       operations_field_names(std::make_index_sequence<std::variant_size_v<OpKind::Variant>>())) {
    add(fields);
  }
  return names;
}

/// The fields of one step, read by name.
class StepFields {
public:
  StepFields(const json& step, std::size_t position) : step_(step), position_(position) {}

  const json& field(const char* name) const {
    const auto found = step_.find(name);
    if (found == step_.end()) {
      throw StepError{"missing field \"" + std::string(name) + "\""};
    }
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

  /// Throws for the first field, in key order, that the step's kind does not have, or that no
  /// kind has when "op" names no kind. Called before any field is read, so that a misspelt
  /// field is reported as such rather than as the missing field it stands for.
  void check_known() const {
    const auto op = step_.find("op");
    std::optional<FieldNames> known;
    if (op != step_.end() && op->is_string()) {
      known = step_field_names(op->get<std::string>());
    }
    if (std::optional<std::string> unknown =
            unknown_field(step_, step_path(position_), known ? *known : all_step_field_names())) {
      throw StepError{*std::move(unknown)};
    }
  }

private:
  const json& step_;
  std::size_t position_;
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
    fields.check_known();
    const std::string kind = fields.string_field("op");
    if (kind == "output") {
      graph_.mark_output(operand(fields, "tensor"));
      return;
    }
    std::string name = fields.string_field("name");
    if (names_.count(name) != 0) {
      throw StepError{"name " + quoted_name(name) + " is already defined"};
    }
    const TensorId defined = define(kind, name, fields);
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
  // A document of another format is named as such; in a graph file, misspelt fields are
  // reported before the fields they stand for are missed.
  const auto format = document.find("format");
  const auto wrong_format = [&] {
    return file_error("the field \"format\" must be \"orvik-graph\"");
  };
  if (format != document.end() && *format != format_name) {
    return wrong_format();
  }
  if (std::optional<std::string> unknown = unknown_field(document, "$", document_field_names)) {
    return file_error(*unknown);
  }
  if (format == document.end()) {
    return wrong_format();
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
