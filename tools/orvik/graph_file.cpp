// Reading and writing graph files.

#include "graph_file.hpp"

#include "nearest_name.hpp"
#include "schedule_io/schedule_counts.hpp"
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
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <variant>

namespace orvik_tool {
namespace {

using nlohmann::json;
// Written files keep their keys in the order of a step's fields.
using nlohmann::ordered_json;
using orvik_compiler::DType;
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

/// Whether `Kind` is one of `Kinds`.
template <class Kind, class... Kinds>
constexpr bool is_one_of = (std::is_same_v<Kind, Kinds> || ...);

/// The fields of the step of each operation kind after "op" and "name", in the order they are
/// written: the operands by role, then the parameters, each read into and written out of the
/// kind's record. This one description serves the reader, the writer and the lists of known
/// fields: `io` reads the fields into `kind`, writes them out of it, or lists their names.
template <class Io, class Kind>
void operation_fields(Io& io, Kind& kind) {
  using Plain = std::remove_const_t<Kind>;
  if constexpr (is_one_of<Plain, OpKind::MatMul, OpKind::Add, OpKind::Mul, OpKind::BatchMatMul,
                          OpKind::Sub, OpKind::Div, OpKind::Maximum, OpKind::Minimum,
                          OpKind::Pow>) {
    io.operand("left");
    io.operand("right");
  } else if constexpr (std::is_same_v<Plain, OpKind::Gather>) {
    io.operand("table");
    io.operand("indices");
  } else if constexpr (std::is_same_v<Plain, OpKind::Concat>) {
    io.operand_list("inputs");
    io.parameter("axis", kind.axis);
  } else {
    io.operand("input");
    if constexpr (is_one_of<Plain, OpKind::Reshape, OpKind::Broadcast>) {
      io.parameter("shape", kind.shape);
    } else if constexpr (std::is_same_v<Plain, OpKind::Transpose>) {
      io.parameter("permutation", kind.permutation);
    } else if constexpr (std::is_same_v<Plain, OpKind::LayerNorm>) {
      io.parameter("epsilon", kind.epsilon);
    } else if constexpr (is_one_of<Plain, OpKind::Softmax, OpKind::ReduceSum, OpKind::ReduceMean,
                                   OpKind::ReduceMax>) {
      io.parameter("axis", kind.axis);
    } else if constexpr (std::is_same_v<Plain, OpKind::Slice>) {
      io.parameter("axis", kind.axis);
      io.parameter("start", kind.start);
      io.parameter("stop", kind.stop);
      io.optional_parameter("step", kind.step, std::uint64_t{1});
    } else if constexpr (std::is_same_v<Plain, OpKind::Cast>) {
      io.parameter("dtype", kind.dtype);
    } else {
      // Every other kind has one operand and no parameter; a new kind with parameters fails
      // here until its fields are described above.
      static_assert(std::is_empty_v<Plain>);
    }
  }
}

/// The fields of an "input" or "weight" step after "op" and "name"; files of F32 tensors do not
/// name the type.
template <class Io, class Shape, class Type>
void value_fields(Io& io, Shape& shape, Type& dtype) {
  io.parameter("shape", shape);
  io.optional_parameter("dtype", dtype, DType{DType::F32});
}

/// The names of the fields that a step describes, "op" and "name" first.
class FieldLister {
public:
  void operand(const char* role) { names_.push_back(role); }
  void operand_list(const char* role) { names_.push_back(role); }
  template <class Value>
  void parameter(const char* name, const Value&) {
    names_.push_back(name);
  }
  template <class Value>
  void optional_parameter(const char* name, const Value&, const Value&) {
    names_.push_back(name);
  }

  FieldNames take() { return std::move(names_); }

private:
  FieldNames names_{"op", "name"};
};

/// The fields of a step that applies `operation`, "op" first.
FieldNames operation_field_names(const OpKind::Variant& operation) {
  FieldLister lister;
  std::visit([&](const auto& kind) { operation_fields(lister, kind); }, operation);
  return lister.take();
}

/// The fields of an "input" or "weight" step, "op" first.
FieldNames value_field_names() {
  FieldLister lister;
  const std::vector<std::uint64_t> shape;
  const DType dtype;
  value_fields(lister, shape, dtype);
  return lister.take();
}

/// The fields of the document.
constexpr std::array<std::string_view, 3> document_field_names{"format", "version", "steps"};
/// The fields of an "output" step.
constexpr std::array<std::string_view, 2> output_field_names{"op", "tensor"};

/// The spelling of each element type in graph files.
constexpr std::array<std::pair<DType::Value, std::string_view>, 2> dtype_names{
    {{DType::F32, "f32"}, {DType::I32, "i32"}}};

std::string_view dtype_name(DType dtype) {
  for (const auto& [value, name] : dtype_names) {
    if (value == dtype.value) {
      return name;
    }
  }
  throw std::logic_error("graph file: an element type without a name");
}

/// The fields of a step of `kind`, "op" first, or nothing when `kind` is no step kind.
std::optional<FieldNames> step_field_names(std::string_view kind) {
  if (kind == "output") {
    return FieldNames(output_field_names.begin(), output_field_names.end());
  }
  if (kind == "input" || kind == "weight") {
    return value_field_names();
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
  add(value_field_names());
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

  bool has(const char* name) const { return step_.contains(name); }

  std::vector<std::string> strings_field(const char* name) {
    const json& value = field(name);
    if (!value.is_array() || !std::all_of(value.begin(), value.end(), [](const json& element) {
          return element.is_string();
        })) {
      throw StepError{"field \"" + std::string(name) + "\" must be an array of strings"};
    }
    return value.get<std::vector<std::string>>();
  }

  DType dtype_field(const char* name) {
    const json& value = field(name);
    for (const auto& [dtype, spelling] : dtype_names) {
      if (value.is_string() && value.get<std::string>() == spelling) {
        return dtype;
      }
    }
    throw StepError{"field \"" + std::string(name) + "\" must be \"f32\" or \"i32\""};
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

/// The tensors defined so far, by name.
using NameTable = std::unordered_map<std::string, TensorId>;

/// Reads a step's fields: operands looked up among the names defined so far, parameters into
/// the record that the step describes.
class FieldReader {
public:
  FieldReader(StepFields& fields, const NameTable& names) : fields_(fields), names_(names) {}

  void operand(const char* role) { operands_.push_back(tensor(fields_.string_field(role))); }
  void operand_list(const char* role) {
    for (const std::string& name : fields_.strings_field(role)) {
      operands_.push_back(tensor(name));
    }
  }
  void parameter(const char* name, std::uint64_t& value) { value = fields_.count_field(name); }
  void parameter(const char* name, std::vector<std::uint64_t>& value) {
    value = fields_.counts_field(name);
  }
  void parameter(const char* name, float& value) { value = fields_.float_field(name); }
  void parameter(const char* name, DType& value) { value = fields_.dtype_field(name); }
  template <class Value>
  void optional_parameter(const char* name, Value& value, const Value& absent) {
    if (fields_.has(name)) {
      parameter(name, value);
    } else {
      value = absent;
    }
  }

  /// The operands read, in the order of their fields.
  const std::vector<TensorId>& operands() const { return operands_; }

private:
  TensorId tensor(const std::string& name) const {
    const auto found = names_.find(name);
    if (found == names_.end()) {
      throw StepError{"unknown tensor " + quoted_name(name)};
    }
    return found->second;
  }

  StepFields& fields_;
  const NameTable& names_;
  std::vector<TensorId> operands_;
};

using Bytes = orvik_compiler::schedule_io::ByteBound;

/// A heap block of `bytes`, with what the allocator adds and rounds up.
Bytes heap_block(Bytes bytes) {
  return bytes + Bytes{32};
}

/// The heap that one tensor takes while a graph file is replayed: its record, three times over
/// for the growth of the list (the old array and the new one of twice its length are both held
/// while it moves), its name twice (the tensor's and the name table's, with the table's node)
/// and its shape.
Bytes tensor_bytes(std::uint64_t name_bytes, Bytes rank) {
  return Bytes{3 * sizeof(orvik_compiler::Tensor)} + Bytes{2} * heap_block(Bytes{name_bytes}) +
         Bytes{64} + heap_block(Bytes{8} * rank);
}

/// The heap that one operation's record takes, beside its output's: the record three times over,
/// its name, its operands and the extents of its parameters.
Bytes operation_bytes(std::uint64_t name_bytes, std::uint64_t operands, std::uint64_t extents) {
  return Bytes{3 * sizeof(orvik_compiler::Op)} + heap_block(Bytes{name_bytes}) +
         heap_block(Bytes{8} * Bytes{operands}) + heap_block(Bytes{8} * Bytes{extents});
}

/// Appends an operation of `kind` over `operands` through its builder method; `operands` holds
/// what the kind's fields read.
Result<TensorId> build(Graph& graph, const std::string& name, const OpKind::Variant& kind,
                       const std::vector<TensorId>& operands) {
  const auto& in = operands;
  return std::visit(
      Overloaded{
          [&](const OpKind::MatMul&) { return graph.matmul(name, in[0], in[1]); },
          [&](const OpKind::Add&) { return graph.add(name, in[0], in[1]); },
          [&](const OpKind::Mul&) { return graph.mul(name, in[0], in[1]); },
          [&](const OpKind::Reshape& reshape) { return graph.reshape(name, in[0], reshape.shape); },
          [&](const OpKind::Transpose& transpose) {
            return graph.transpose(name, in[0], transpose.permutation);
          },
          [&](const OpKind::LayerNorm& norm) {
            return graph.layer_norm(name, in[0], norm.epsilon);
          },
          [&](const OpKind::Softmax& softmax) { return graph.softmax(name, in[0], softmax.axis); },
          [&](const OpKind::Gelu&) { return graph.gelu(name, in[0]); },
          [&](const OpKind::BatchMatMul&) { return graph.batch_matmul(name, in[0], in[1]); },
          [&](const OpKind::Sub&) { return graph.sub(name, in[0], in[1]); },
          [&](const OpKind::Div&) { return graph.div(name, in[0], in[1]); },
          [&](const OpKind::Maximum&) { return graph.maximum(name, in[0], in[1]); },
          [&](const OpKind::Minimum&) { return graph.minimum(name, in[0], in[1]); },
          [&](const OpKind::Pow&) { return graph.pow(name, in[0], in[1]); },
          [&](const OpKind::Erf&) { return graph.erf(name, in[0]); },
          [&](const OpKind::Tanh&) { return graph.tanh(name, in[0]); },
          [&](const OpKind::Exp&) { return graph.exp(name, in[0]); },
          [&](const OpKind::Log&) { return graph.log(name, in[0]); },
          [&](const OpKind::Sqrt&) { return graph.sqrt(name, in[0]); },
          [&](const OpKind::Reciprocal&) { return graph.reciprocal(name, in[0]); },
          [&](const OpKind::Neg&) { return graph.neg(name, in[0]); },
          [&](const OpKind::Abs&) { return graph.abs(name, in[0]); },
          [&](const OpKind::Relu&) { return graph.relu(name, in[0]); },
          [&](const OpKind::Sigmoid&) { return graph.sigmoid(name, in[0]); },
          [&](const OpKind::Broadcast& broadcast) {
            return graph.broadcast(name, in[0], broadcast.shape);
          },
          [&](const OpKind::Slice& slice) {
            return graph.slice(name, in[0], slice.axis, slice.start, slice.stop, slice.step);
          },
          [&](const OpKind::Concat& concat) { return graph.concat(name, in, concat.axis); },
          [&](const OpKind::Gather&) { return graph.gather(name, in[0], in[1]); },
          [&](const OpKind::ReduceSum& reduce) {
            return graph.reduce_sum(name, in[0], reduce.axis);
          },
          [&](const OpKind::ReduceMean& reduce) {
            return graph.reduce_mean(name, in[0], reduce.axis);
          },
          [&](const OpKind::ReduceMax& reduce) {
            return graph.reduce_max(name, in[0], reduce.axis);
          },
          [&](const OpKind::Cast& cast) { return graph.cast(name, in[0], cast.dtype); }},
      kind);
}

/// Counts the extents of an operation's shape and permutation parameters.
class ExtentCounter {
public:
  void operand(const char*) {}
  void operand_list(const char*) {}
  void parameter(const char*, const std::vector<std::uint64_t>& value) { extents_ += value.size(); }
  template <class Value>
  void parameter(const char*, const Value&) {}
  template <class Value>
  void optional_parameter(const char*, const Value&, const Value&) {}

  std::uint64_t extents() const { return extents_; }

private:
  std::uint64_t extents_ = 0;
};

/// The most axes of each tensor named so far, by name; the names are the document's strings.
using RankTable = std::unordered_map<std::string_view, std::uint64_t>;

/// Reads what a step says about the size of what it makes, without making it: the axes of its
/// operands, as far as they are named so far, and the extents of its shape or permutation. Fields
/// that are missing or of the wrong type count as nothing; the replay reports them.
class StepSizer {
public:
  StepSizer(const json& step, const RankTable& ranks) : step_(step), ranks_(ranks) {}

  void operand(const char* role) { add_operand(member(role)); }
  void operand_list(const char* role) {
    if (const json* names = member(role); names != nullptr && names->is_array()) {
      for (const json& name : *names) {
        add_operand(&name);
      }
    }
  }
  void parameter(const char* name, std::vector<std::uint64_t>&) {
    if (const json* value = member(name); value != nullptr && value->is_array()) {
      extents_ += value->size();
    }
  }
  template <class Value>
  void parameter(const char*, Value&) {}
  template <class Value>
  void optional_parameter(const char*, Value&, const Value&) {}

  std::uint64_t operands() const { return operands_; }
  /// The axes of the operands together, and of the widest.
  std::uint64_t operand_axes() const { return operand_axes_; }
  std::uint64_t widest_operand() const { return widest_operand_; }
  std::uint64_t extents() const { return extents_; }

private:
  const json* member(const char* name) const {
    const auto found = step_.find(name);
    return found == step_.end() ? nullptr : &*found;
  }

  void add_operand(const json* name) {
    ++operands_;
    if (name == nullptr || !name->is_string()) {
      return;
    }
    const auto found = ranks_.find(name->get_ref<const std::string&>());
    if (found != ranks_.end()) {
      // Saturating: gathers of a tensor by itself double its axes at every step.
      operand_axes_ = (Bytes{operand_axes_} + Bytes{found->second}).value;
      widest_operand_ = std::max(widest_operand_, found->second);
    }
  }

  const json& step_;
  const RankTable& ranks_;
  std::uint64_t operands_ = 0;
  std::uint64_t operand_axes_ = 0;
  std::uint64_t widest_operand_ = 0;
  std::uint64_t extents_ = 0;
};

/// A bound on the heap that replaying `steps` takes, from the document alone: each step's
/// records as `tensor_bytes` and `operation_bytes` count them, and the most that one step holds
/// while the builder checks it (a copy of each operand's type and of the output's shape). No
/// kind's output has more axes than its widest operand or its shape parameter, but a gather's,
/// which has those of its table and its indices together less one: so each tensor's axes are
/// bounded before any shape is made, and a few bytes of step naming a tensor of many axes cost
/// nothing until the bound allows them. Time and memory linear in the document.
std::uint64_t replay_memory_bound(const json& steps) {
  RankTable ranks;
  Bytes records;
  Bytes busiest_step;
  for (const json& step : steps) {
    if (!step.is_object()) {
      continue;
    }
    const auto kind = step.find("op");
    const auto name = step.find("name");
    if (kind == step.end() || !kind->is_string() || name == step.end() || !name->is_string()) {
      continue;
    }
    const std::string& kind_name = kind->get_ref<const std::string&>();
    const std::string& tensor_name = name->get_ref<const std::string&>();
    std::uint64_t rank = 0;
    if (kind_name == "input" || kind_name == "weight") {
      const auto shape = step.find("shape");
      rank = shape != step.end() && shape->is_array() ? shape->size() : 0;
    } else if (std::optional<OpKind> operation = orvik_compiler::operation_kind(kind_name)) {
      StepSizer sizer(step, ranks);
      std::visit([&](auto& alternative) { operation_fields(sizer, alternative); },
                 operation->value);
      const bool gather = std::holds_alternative<OpKind::Gather>(operation->value);
      rank = gather ? sizer.operand_axes() : std::max(sizer.widest_operand(), sizer.extents());
      records += operation_bytes(tensor_name.size(), sizer.operands(), sizer.extents());
      const Bytes checking =
          Bytes{sizer.operands()} * heap_block(Bytes{sizeof(orvik_compiler::Tensor)}) +
          Bytes{8} * Bytes{sizer.operand_axes()} + heap_block(Bytes{8} * Bytes{rank});
      busiest_step = Bytes{std::max(busiest_step.value, checking.value)};
    } else {
      continue;
    }
    records += tensor_bytes(tensor_name.size(), Bytes{rank});
    ranks[tensor_name] = rank;
  }
  return (records + busiest_step).value;
}

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
      FieldReader reader(fields, names_);
      reader.operand("tensor");
      graph_.mark_output(reader.operands().front());
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
  TensorId define(const std::string& kind, const std::string& name, StepFields& fields) {
    FieldReader reader(fields, names_);
    if (kind == "input" || kind == "weight") {
      std::vector<std::uint64_t> shape;
      DType dtype;
      value_fields(reader, shape, dtype);
      return kind == "input" ? graph_.input(name, std::move(shape), dtype)
                             : graph_.weight(name, std::move(shape), dtype);
    }
    std::optional<OpKind> operation = orvik_compiler::operation_kind(kind);
    if (!operation) {
      throw StepError{"unknown step kind " + quoted_name(kind)};
    }
    std::visit([&](auto& alternative) { operation_fields(reader, alternative); }, operation->value);
    Result<TensorId> result = build(graph_, name, operation->value, reader.operands());
    if (!result) {
      throw StepError{result.error().message};
    }
    return *result;
  }

  Graph graph_;
  NameTable names_;
};

/// Writes a step's fields: operands by the names of the op's inputs, in order, and parameters
/// out of the record that the step describes.
class FieldWriter {
public:
  FieldWriter(ordered_json& step, std::span<const std::string> operands)
      : step_(step), operands_(operands) {}

  void operand(const char* role) {
    if (next_ < operands_.size()) {
      step_[role] = operands_[next_];
    }
    ++next_;
  }
  void operand_list(const char* role) {
    const std::span<const std::string> rest = operands_.subspan(std::min(next_, operands_.size()));
    step_[role] = std::vector<std::string>(rest.begin(), rest.end());
    // A list of no operands is no more a builder's op than a missing operand.
    next_ = rest.empty() ? operands_.size() + 1 : operands_.size();
  }
  void parameter(const char* name, DType value) { step_[name] = dtype_name(value); }
  template <class Value>
  void parameter(const char* name, const Value& value) {
    step_[name] = value;
  }
  template <class Value>
  void optional_parameter(const char* name, const Value& value, const Value& absent) {
    if (!(value == absent)) {
      parameter(name, value);
    }
  }

  /// Whether the fields took every operand, each once.
  bool wrote_every_operand() const { return next_ == operands_.size(); }

private:
  ordered_json& step_;
  std::span<const std::string> operands_;
  std::size_t next_ = 0;
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

ToolResult<Graph> read_graph_file(std::string_view text, std::string_view file,
                                  std::uint64_t memory_budget) {
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
  const std::uint64_t needed = replay_memory_bound(*steps);
  if (needed > memory_budget) {
    return ToolFailure{exit_compile_error,
                       std::string(file) + ": error: the graph needs an estimated " +
                           std::to_string(needed) + " bytes of memory, more than the budget of " +
                           std::to_string(memory_budget) + " bytes; --memory-budget raises it"};
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

std::uint64_t graph_memory(const Graph& graph) {
  Bytes bytes;
  for (const orvik_compiler::Tensor& tensor : graph.tensors) {
    bytes += tensor_bytes(tensor.name.size(), Bytes{tensor.shape.size()});
  }
  for (const orvik_compiler::Op& op : graph.ops) {
    ExtentCounter counter;
    std::visit([&](const auto& kind) { operation_fields(counter, kind); }, op.kind.value);
    bytes += operation_bytes(op.name.size(), op.inputs.size(), counter.extents());
  }
  return bytes.value;
}

ToolResult<std::string> write_graph_file(const Graph& graph) {
  const auto refuse = [](const std::string& what) { return tool_error(exit_compile_error, what); };
  std::unordered_set<std::string_view> names;
  // One step per line, so the file reads like the list of builder calls it replays; each step
  // is printed as soon as it is made, so that only the text grows with the graph.
  std::string text = "{\"format\": " + ordered_json(format_name).dump() +
                     ", \"version\": " + std::to_string(format_version) + ", \"steps\": [\n";
  bool first = true;
  const auto append = [&](const ordered_json& step) {
    text += first ? "  " : ",\n  ";
    first = false;
    text += step.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
  };
  for (const orvik_compiler::Tensor& tensor : graph.tensors) {
    if (!names.insert(tensor.name).second) {
      return refuse("the name " + quoted_name(tensor.name) +
                    " is used twice, so the graph cannot be written as a graph file");
    }
    if (!tensor.producer) {
      const bool weight = tensor.kind == orvik_compiler::TensorKind::Weight;
      ordered_json step{{"op", weight ? "weight" : "input"}, {"name", tensor.name}};
      FieldWriter writer(step, {});
      value_fields(writer, tensor.shape, tensor.dtype);
      append(step);
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
    // The steps are named like the kernels.
    ordered_json step{{"op", orvik_compiler::operation_name(op.kind)}, {"name", tensor.name}};
    FieldWriter writer(step, operands);
    std::visit([&](const auto& kind) { operation_fields(writer, kind); }, op.kind.value);
    if (!writer.wrote_every_operand()) {
      return refuse("op " + quoted_name(op.name) + " has an unexpected operand count");
    }
    append(step);
  }
  for (const TensorId output : graph.outputs) {
    if (output.index >= graph.tensors.size()) {
      return refuse("an output names no tensor");
    }
    append({{"op", "output"}, {"tensor", graph.tensors[output.index].name}});
  }
  return std::move(text) + (first ? "]}\n" : "\n]}\n");
}

} // namespace orvik_tool
