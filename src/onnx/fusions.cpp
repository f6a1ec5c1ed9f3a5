// The GELU and layer normalisation matchers, and the conversion of what they find.

#include "fusions.hpp"

#include "converters.hpp"
#include "layer_norm.hpp"
#include "operands.hpp"
#include "tensor_data.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace orvik_compiler::onnx_import {
namespace {

/// Where each value comes from and goes to.
struct GraphIndex {
  const onnx::GraphProto& graph;
  std::unordered_map<std::string_view, std::size_t> producer;
  /// The nodes that read each value, once per input that names it.
  std::unordered_map<std::string_view, std::vector<std::size_t>> readers;
  std::unordered_set<std::string_view> outputs;
  std::unordered_map<std::string_view, const onnx::TensorProto*> initializers;
};

GraphIndex index_graph(const onnx::GraphProto& graph) {
  GraphIndex index{graph, {}, {}, {}, {}};
  for (int n = 0; n < graph.node_size(); ++n) {
    const onnx::NodeProto& node = graph.node(n);
    for (const std::string& input : node.input()) {
      index.readers[input].push_back(static_cast<std::size_t>(n));
    }
    for (const std::string& output : node.output()) {
      index.producer.emplace(output, static_cast<std::size_t>(n));
    }
  }
  for (const onnx::ValueInfoProto& output : graph.output()) {
    index.outputs.insert(output.name());
  }
  for (const onnx::TensorProto& initializer : graph.initializer()) {
    index.initializers.emplace(initializer.name(), &initializer);
  }
  return index;
}

const onnx::NodeProto& node_at(const GraphIndex& index, std::size_t n) {
  return index.graph.node(static_cast<int>(n));
}

/// Whether the node is of `op_type` of the default domain with at least one output, so that
/// `output(0)` exists.
bool is_op(const onnx::NodeProto& node, std::string_view op_type) {
  return node.op_type() == op_type && is_default_domain(node.domain()) && node.output_size() >= 1;
}

/// The one node that reads `value`, when it is of `op_type` and `value` is no graph output.
std::optional<std::size_t> sole_reader(const GraphIndex& index, std::string_view value,
                                       std::string_view op_type) {
  const auto found = index.readers.find(value);
  if (index.outputs.contains(value) || found == index.readers.end() || found->second.size() != 1 ||
      !is_op(node_at(index, found->second[0]), op_type)) {
    return std::nullopt;
  }
  return found->second[0];
}

/// The node that makes `value`, when it is of `op_type`.
std::optional<std::size_t> made_by(const GraphIndex& index, std::string_view value,
                                   std::string_view op_type) {
  const auto found = index.producer.find(value);
  if (found == index.producer.end() || !is_op(node_at(index, found->second), op_type)) {
    return std::nullopt;
  }
  return found->second;
}

/// The tensor that holds `value` when it is an initializer or the output of a `Constant` node
/// given as a tensor, or the node's attribute otherwise.
const onnx::TensorProto* constant_tensor(const GraphIndex& index, std::string_view value) {
  if (const auto found = index.initializers.find(value); found != index.initializers.end()) {
    return found->second;
  }
  const std::optional<std::size_t> constant = made_by(index, value, "Constant");
  if (!constant) {
    return nullptr;
  }
  const onnx::NodeProto& node = node_at(index, *constant);
  if (node.attribute_size() != 1 || node.attribute(0).name() != "value") {
    return nullptr;
  }
  return &node.attribute(0).t();
}

bool is_constant(const GraphIndex& index, std::string_view value) {
  return index.initializers.contains(value) || made_by(index, value, "Constant");
}

/// The single value of a constant of one element, float32 or int64.
std::optional<double> scalar(const GraphIndex& index, std::string_view value) {
  if (const std::optional<std::size_t> constant = made_by(index, value, "Constant")) {
    const onnx::NodeProto& node = node_at(index, *constant);
    if (node.attribute_size() == 1 && node.attribute(0).name() == "value_float") {
      return node.attribute(0).f();
    }
    if (node.attribute_size() == 1 && node.attribute(0).name() == "value_int") {
      return static_cast<double>(node.attribute(0).i());
    }
  }
  const onnx::TensorProto* tensor = constant_tensor(index, value);
  // A pattern's constants are scalars or of a few axes of extent 1. Looking no further keeps the
  // matching linear in the model when one constant of huge rank is read by many nodes.
  constexpr int pattern_rank_limit = 8;
  if (tensor == nullptr || tensor->dims_size() > pattern_rank_limit) {
    return std::nullopt;
  }
  const Result<std::vector<std::uint64_t>> shape = tensor_shape(*tensor);
  if (!shape || *element_count(*shape) != 1) {
    return std::nullopt;
  }
  if (tensor->data_type() == onnx::TensorProto::FLOAT) {
    const Result<std::vector<float>> values = float_values(*tensor, 1);
    return values ? std::optional<double>((*values)[0]) : std::nullopt;
  }
  if (tensor->data_type() == onnx::TensorProto::INT64) {
    const Result<std::vector<std::int64_t>> values = int64_values(*tensor, 1);
    return values ? std::optional<double>(static_cast<double>((*values)[0])) : std::nullopt;
  }
  return std::nullopt;
}

/// Whether `value` is a one-element constant equal to `expected` to within single precision.
bool is_scalar(const GraphIndex& index, std::string_view value, double expected) {
  const std::optional<double> found = scalar(index, value);
  return found && std::abs(*found - expected) <= 1e-6 * std::abs(expected);
}

/// For a node of two inputs one of which is `value`, the other one.
std::optional<std::string_view> other_operand(const onnx::NodeProto& node, std::string_view value) {
  if (node.input_size() != 2) {
    return std::nullopt;
  }
  if (node.input(0) == value) {
    return node.input(1);
  }
  if (node.input(1) == value) {
    return node.input(0);
  }
  return std::nullopt;
}

/// For a node of two inputs one of which is a one-element constant equal to `expected`, the
/// other one.
std::optional<std::string_view> beside_scalar(const GraphIndex& index, const onnx::NodeProto& node,
                                              double expected) {
  if (node.input_size() != 2) {
    return std::nullopt;
  }
  for (int i = 0; i < 2; ++i) {
    if (is_scalar(index, node.input(i), expected)) {
      return node.input(1 - i);
    }
  }
  return std::nullopt;
}

const std::string& output_of(const GraphIndex& index, std::size_t n) {
  return node_at(index, n).output(0);
}

/// The nodes that make `value` as the cube of `x`: Pow(x, 3), or the product of x and x * x
/// in either grouping and operand order, whose square nothing else reads.
std::optional<std::vector<std::size_t>> match_cube(const GraphIndex& index, std::string_view value,
                                                   std::string_view x) {
  if (const std::optional<std::size_t> pow = made_by(index, value, "Pow")) {
    const onnx::NodeProto& node = node_at(index, *pow);
    if (node.input_size() == 2 && node.input(0) == x && is_scalar(index, node.input(1), 3.0)) {
      return std::vector<std::size_t>{*pow};
    }
    return std::nullopt;
  }
  const std::optional<std::size_t> outer = made_by(index, value, "Mul");
  const std::optional<std::string_view> square_value =
      outer ? other_operand(node_at(index, *outer), x) : std::nullopt;
  const std::optional<std::size_t> square =
      square_value ? made_by(index, *square_value, "Mul") : std::nullopt;
  if (!square || sole_reader(index, *square_value, "Mul") != outer) {
    return std::nullopt;
  }
  const onnx::NodeProto& node = node_at(index, *square);
  if (node.input_size() == 2 && node.input(0) == x && node.input(1) == x) {
    return std::vector<std::size_t>{*square, *outer};
  }
  return std::nullopt;
}

/// The inner part of GELU read by `tanh_node`: sqrt(2/pi) * (x + 0.044715 * x^3), the cube as
/// `match_cube` finds it. Returns x and appends the nodes it covers.
std::optional<std::string> match_gelu_argument(const GraphIndex& index, std::size_t tanh_node,
                                               std::vector<std::size_t>& nodes) {
  const onnx::NodeProto& tanh = node_at(index, tanh_node);
  if (tanh.input_size() != 1) {
    return std::nullopt;
  }
  const std::optional<std::size_t> scaling = made_by(index, tanh.input(0), "Mul");
  if (!scaling || sole_reader(index, tanh.input(0), "Tanh") != tanh_node) {
    return std::nullopt;
  }
  const std::optional<std::string_view> sum_value =
      beside_scalar(index, node_at(index, *scaling), 0.7978845608028654);
  const std::optional<std::size_t> sum =
      sum_value ? made_by(index, *sum_value, "Add") : std::nullopt;
  if (!sum || sole_reader(index, *sum_value, "Mul") != scaling) {
    return std::nullopt;
  }
  const onnx::NodeProto& add = node_at(index, *sum);
  for (int i = 0; i < add.input_size() && add.input_size() == 2; ++i) {
    const std::string& x = add.input(1 - i);
    const std::string& cubic_term = add.input(i);
    const std::optional<std::size_t> term = made_by(index, cubic_term, "Mul");
    if (!term || sole_reader(index, cubic_term, "Add") != sum) {
      continue;
    }
    const std::optional<std::string_view> cube_value =
        beside_scalar(index, node_at(index, *term), 0.044715);
    if (!cube_value || sole_reader(index, *cube_value, "Mul") != term) {
      continue;
    }
    if (const std::optional<std::vector<std::size_t>> cube = match_cube(index, *cube_value, x)) {
      nodes.insert(nodes.end(), cube->begin(), cube->end());
      nodes.insert(nodes.end(), {*term, *sum, *scaling, tanh_node});
      return x;
    }
  }
  return std::nullopt;
}

/// GELU around the `Tanh` node `tanh_node`.
std::optional<Fusion> match_gelu(const GraphIndex& index, std::size_t tanh_node) {
  std::vector<std::size_t> nodes;
  const std::optional<std::string> x = match_gelu_argument(index, tanh_node, nodes);
  if (!x) {
    return std::nullopt;
  }
  // 1 + tanh(...)
  const std::optional<std::size_t> plus_one =
      sole_reader(index, output_of(index, tanh_node), "Add");
  if (!plus_one || beside_scalar(index, node_at(index, *plus_one), 1.0) !=
                       std::string_view(output_of(index, tanh_node))) {
    return std::nullopt;
  }
  nodes.push_back(*plus_one);
  // The product of 0.5, x and (1 + tanh) in any grouping.
  const std::string& factor = output_of(index, *plus_one);
  const std::optional<std::size_t> first = sole_reader(index, factor, "Mul");
  if (!first) {
    return std::nullopt;
  }
  const std::optional<std::string_view> other = other_operand(node_at(index, *first), factor);
  if (!other) {
    return std::nullopt;
  }
  const auto finish = [&](std::size_t last) {
    nodes.push_back(last);
    std::sort(nodes.begin(), nodes.end());
    return Fusion{nodes, GeluPattern{*x, output_of(index, last)}};
  };
  // (0.5 x) (1 + tanh)
  if (const std::optional<std::size_t> half_x = made_by(index, *other, "Mul")) {
    if (beside_scalar(index, node_at(index, *half_x), 0.5) == std::string_view(*x) &&
        sole_reader(index, *other, "Mul") == first) {
      nodes.push_back(*half_x);
      return finish(*first);
    }
  }
  // (x (1 + tanh)) 0.5, or x ((1 + tanh) 0.5)
  const bool times_x = *other == *x;
  if (!times_x && !is_scalar(index, *other, 0.5)) {
    return std::nullopt;
  }
  const std::string& partial = output_of(index, *first);
  const std::optional<std::size_t> second = sole_reader(index, partial, "Mul");
  if (!second) {
    return std::nullopt;
  }
  nodes.push_back(*first);
  const std::optional<std::string_view> last_factor =
      other_operand(node_at(index, *second), partial);
  if (last_factor && (times_x ? is_scalar(index, *last_factor, 0.5) : *last_factor == *x)) {
    return finish(*second);
  }
  return std::nullopt;
}

/// The axes of a `ReduceMean` that keeps its dimensions, as written.
std::optional<std::vector<std::int64_t>> kept_axes(const onnx::NodeProto& reduce) {
  std::optional<std::vector<std::int64_t>> axes;
  for (const onnx::AttributeProto& attribute : reduce.attribute()) {
    if (attribute.name() == "axes" && attribute.type() == onnx::AttributeProto::INTS) {
      axes.emplace(attribute.ints().begin(), attribute.ints().end());
    } else if (attribute.name() != "keepdims" || attribute.i() != 1) {
      return std::nullopt;
    }
  }
  return reduce.input_size() == 1 ? axes : std::nullopt;
}

/// The written-out layer normalisation that starts at the `ReduceMean` node `mean_node`.
std::optional<Fusion> match_layer_norm(const GraphIndex& index, std::size_t mean_node) {
  const onnx::NodeProto& mean = node_at(index, mean_node);
  const std::optional<std::vector<std::int64_t>> axes = kept_axes(mean);
  if (!axes || axes->empty()) {
    return std::nullopt;
  }
  const std::string& x = mean.input(0);
  // x - mean
  const std::optional<std::size_t> centre = sole_reader(index, mean.output(0), "Sub");
  if (!centre || node_at(index, *centre).input_size() != 2 ||
      node_at(index, *centre).input(0) != x || node_at(index, *centre).input(1) != mean.output(0)) {
    return std::nullopt;
  }
  // Read by exactly a Pow by 2 and the Div.
  const std::string& deviation = output_of(index, *centre);
  const auto readers = index.readers.find(deviation);
  if (index.outputs.contains(deviation) || readers == index.readers.end() ||
      readers->second.size() != 2) {
    return std::nullopt;
  }
  std::optional<std::size_t> square;
  std::optional<std::size_t> divide;
  for (const std::size_t reader : readers->second) {
    const onnx::NodeProto& node = node_at(index, reader);
    if (is_op(node, "Pow") && node.input_size() == 2 && node.input(0) == deviation &&
        is_scalar(index, node.input(1), 2.0)) {
      square = reader;
    } else if (is_op(node, "Div") && node.input_size() == 2 && node.input(0) == deviation) {
      divide = reader;
    }
  }
  if (!square || !divide) {
    return std::nullopt;
  }
  // mean of the squares, + epsilon, sqrt, and the Div by it.
  const std::optional<std::size_t> variance =
      sole_reader(index, output_of(index, *square), "ReduceMean");
  if (!variance || kept_axes(node_at(index, *variance)) != axes) {
    return std::nullopt;
  }
  const std::optional<std::size_t> plus_epsilon =
      sole_reader(index, output_of(index, *variance), "Add");
  if (!plus_epsilon) {
    return std::nullopt;
  }
  const std::optional<std::string_view> epsilon_value =
      other_operand(node_at(index, *plus_epsilon), output_of(index, *variance));
  const std::optional<double> epsilon =
      epsilon_value ? scalar(index, *epsilon_value) : std::nullopt;
  const std::optional<std::size_t> root =
      epsilon ? sole_reader(index, output_of(index, *plus_epsilon), "Sqrt") : std::nullopt;
  if (!root || sole_reader(index, output_of(index, *root), "Div") != divide ||
      node_at(index, *divide).input(1) != output_of(index, *root)) {
    return std::nullopt;
  }
  LayerNormPattern pattern{
      x, *axes, static_cast<float>(*epsilon), output_of(index, *divide), {}, {}, {}, {}};
  std::vector<std::size_t> nodes{mean_node,     *centre, *square, *variance,
                                 *plus_epsilon, *root,   *divide};
  // An optional Mul by a constant scale, then an optional Add of a constant bias.
  if (const std::optional<std::size_t> times = sole_reader(index, pattern.normalized, "Mul")) {
    const std::optional<std::string_view> scale =
        other_operand(node_at(index, *times), pattern.normalized);
    if (scale && *scale != pattern.normalized && is_constant(index, *scale)) {
      pattern.scale = *scale;
      pattern.scaled = output_of(index, *times);
      nodes.push_back(*times);
    }
  }
  const std::string& before_bias = pattern.scaled.empty() ? pattern.normalized : pattern.scaled;
  if (const std::optional<std::size_t> plus = sole_reader(index, before_bias, "Add")) {
    const std::optional<std::string_view> bias = other_operand(node_at(index, *plus), before_bias);
    if (bias && *bias != before_bias && is_constant(index, *bias)) {
      pattern.bias = *bias;
      pattern.biased = output_of(index, *plus);
      nodes.push_back(*plus);
    }
  }
  std::sort(nodes.begin(), nodes.end());
  return Fusion{nodes, pattern};
}

/// How many trailing axes `axes` names, when it names exactly the last few axes of a tensor of
/// rank `rank`, each once.
std::optional<std::uint64_t> trailing_axes(const std::vector<std::int64_t>& axes,
                                           std::uint64_t rank) {
  const auto signed_rank = static_cast<std::int64_t>(rank);
  std::vector<std::int64_t> from_end;
  for (const std::int64_t axis : axes) {
    if (axis < -signed_rank || axis >= signed_rank) {
      return std::nullopt;
    }
    from_end.push_back(axis >= 0 ? axis - signed_rank : axis);
  }
  std::sort(from_end.begin(), from_end.end());
  const auto count = static_cast<std::int64_t>(from_end.size());
  for (std::int64_t i = 0; i < count; ++i) {
    if (from_end[static_cast<std::size_t>(i)] != i - count) {
      return std::nullopt;
    }
  }
  return from_end.size();
}

} // namespace

std::vector<Fusion> find_fusions(const onnx::GraphProto& graph) {
  const GraphIndex index = index_graph(graph);
  std::vector<Fusion> fusions;
  std::vector<bool> covered(static_cast<std::size_t>(graph.node_size()), false);
  for (std::size_t n = 0; n < covered.size(); ++n) {
    const onnx::NodeProto& node = node_at(index, n);
    std::optional<Fusion> fusion;
    if (is_op(node, "Tanh")) {
      fusion = match_gelu(index, n);
    } else if (is_op(node, "ReduceMean")) {
      fusion = match_layer_norm(index, n);
    }
    if (!fusion || std::any_of(fusion->nodes.begin(), fusion->nodes.end(),
                               [&](std::size_t covered_node) { return covered[covered_node]; })) {
      continue;
    }
    for (const std::size_t covered_node : fusion->nodes) {
      covered[covered_node] = true;
    }
    fusions.push_back(std::move(*fusion));
  }
  return fusions;
}

Result<void> convert_fusion(Conversion& conversion, const onnx::GraphProto& graph,
                            const Fusion& fusion) {
  const std::size_t position = fusion.nodes.back();
  const onnx::NodeProto& last = graph.node(static_cast<int>(position));
  if (const auto* gelu = std::get_if<GeluPattern>(&fusion.pattern)) {
    const Node node{last, position, "fused Gelu"};
    ORVIK_TRY(input, named_value(conversion, node, gelu->input));
    ORVIK_TRY(x, tensor_of(conversion, node, input));
    ORVIK_TRY(y, built(conversion, node, conversion.graph().gelu(gelu->output, x)));
    define_tensor(conversion, node, 0, y);
    return {};
  }
  const auto& norm = std::get<LayerNormPattern>(fusion.pattern);
  const Node node{last, position, "fused LayerNormalization"};
  ORVIK_TRY(input, named_value(conversion, node, norm.input));
  ORVIK_TRY(x, tensor_of(conversion, node, input));
  const std::optional<std::uint64_t> axes =
      trailing_axes(norm.axes, conversion.graph().tensors[x.index].shape.size());
  if (!axes) {
    // Not a layer normalisation after all: its nodes are converted one by one, in order, each
    // as it would be alone.
    for (const std::size_t covered : fusion.nodes) {
      const onnx::NodeProto& proto = graph.node(static_cast<int>(covered));
      if (Result<void> converted = convert_node(conversion, Node{proto, covered, proto.op_type()});
          !converted) {
        return converted.error();
      }
    }
    return {};
  }
  LayerNormParts parts{norm.normalized, std::nullopt, norm.scaled, std::nullopt, norm.biased};
  if (!norm.scale.empty()) {
    ORVIK_TRY(scale, named_value(conversion, node, norm.scale));
    parts.scale = scale;
  }
  if (!norm.bias.empty()) {
    ORVIK_TRY(bias, named_value(conversion, node, norm.bias));
    parts.bias = bias;
  }
  ORVIK_TRY(y, layer_norm(conversion, node, x, *axes, norm.epsilon, parts));
  define_tensor(conversion, node, 0, y);
  return {};
}

} // namespace orvik_compiler::onnx_import
