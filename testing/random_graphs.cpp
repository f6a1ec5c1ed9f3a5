// Random graphs over every kind: each operation's operands picked or made to fit its rule.

#include "testing/random_graphs.hpp"

#include "graph/op_rules.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <numeric>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace orvik_compiler::testing {
namespace {

using Shape = std::vector<std::uint64_t>;

/// Floats where the element functions, the comparisons and the cast to I32 change behaviour.
const float special_floats[] = {
    std::numeric_limits<float>::quiet_NaN(),
    -std::numeric_limits<float>::quiet_NaN(),
    std::numeric_limits<float>::infinity(),
    -std::numeric_limits<float>::infinity(),
    0.0F,
    -0.0F,
    1e-40F,
    -1e-40F,
    std::numeric_limits<float>::min(),
    3e38F,
    -3e38F,
    1.0F,
    -1.0F,
    0.5F,
    -0.5F,
    88.8F,   // expf overflows above 88.72
    -104.0F, // expf underflows to 0 below -103.97
    2147483520.0F,
    2147483648.0F, // 2^31, the first float past the I32 range
    -2147483648.0F,
    -2147483904.0F, // the float below -2^31
};

/// Integers where the cast to F32 starts to round and the ends of the I32 range.
const std::int32_t special_integers[] = {
    0,         1,          -1,
    16777216,  16777217,   16777219,
    -16777217, 2147483647, std::numeric_limits<std::int32_t>::min()};

/// Builds one random graph, then the values of its inputs and weights.
class Generator {
public:
  Generator(const Draw& draw, const RandomGraphLimits& limits) : draw_(draw), limits_(limits) {}

  RandomGraph run() {
    const std::uint64_t operations =
        pick(1, std::max<std::uint64_t>(1, static_cast<std::uint64_t>(limits_.max_operations)));
    static_assert(std::variant_size_v<OpKind::Variant> == 32, "draw the new kinds too");
    while (graph_.ops.size() < operations) {
      add_operation(pick(0, std::variant_size_v<OpKind::Variant> - 1));
    }
    graph_.mark_output(graph_.ops.back().output);
    for (std::uint64_t more = pick(0, 2); more > 0; --more) {
      graph_.mark_output(TensorId{pick(0, graph_.tensors.size() - 1)});
    }
    RandomGraph result{std::move(graph_), {}};
    for (const Tensor& tensor : result.graph.tensors) {
      if (!tensor.producer) {
        result.bound.push_back({tensor.id, tensor.dtype == DType::F32
                                               ? TensorData{floats(tensor.elements())}
                                               : TensorData{integers(tensor)}});
      }
    }
    return result;
  }

private:
  using Binary = Result<TensorId> (Graph::*)(std::string, TensorId, TensorId);
  using Unary = Result<TensorId> (Graph::*)(std::string, TensorId);
  using AlongAxis = Result<TensorId> (Graph::*)(std::string, TensorId, std::uint64_t);

  std::uint64_t pick(std::uint64_t low, std::uint64_t high) const { return draw_(low, high); }
  bool one_in(std::uint64_t n) const { return pick(1, n) == 1; }

  /// An extent for an axis beside others holding `others` elements, keeping the tensor within
  /// the limit.
  std::uint64_t extent_beside(std::uint64_t others) const {
    const std::uint64_t room = std::max<std::uint64_t>(1, limits_.max_elements / others);
    return pick(1, std::min(std::max<std::uint64_t>(1, limits_.max_extent), room));
  }

  /// A shape of rank `low` to `high` within the limit, extents of 1 common.
  Shape shape(std::uint64_t low, std::uint64_t high) const {
    Shape result(pick(low, high));
    std::uint64_t elements = 1;
    for (std::uint64_t& extent : result) {
      extent = one_in(4) ? 1 : extent_beside(elements);
      elements *= extent;
    }
    return result;
  }

  const Shape& shape_of(TensorId id) const { return graph_.tensors[id.index].shape; }
  DType dtype_of(TensorId id) const { return graph_.tensors[id.index].dtype; }
  DType any_dtype() const { return one_in(3) ? DType::I32 : DType::F32; }

  std::string name(const char* prefix) const {
    std::string result = prefix;
    result += std::to_string(graph_.tensors.size());
    return result;
  }

  /// A new input or weight; `rows` is the table's row count when it holds gather indices.
  TensorId new_tensor(Shape shape, DType dtype, std::uint64_t rows = 0) {
    const TensorId id = one_in(2) ? graph_.input(name("in"), std::move(shape), dtype)
                                  : graph_.weight(name("w"), std::move(shape), dtype);
    index_rows_.resize(graph_.tensors.size(), 0);
    index_rows_[id.index] = rows;
    return id;
  }

  /// One of the tensors made so far that `fits`, or nothing when none does or, one time in four,
  /// so that new tensors keep coming.
  template <class Fits>
  std::optional<TensorId> existing(Fits fits) const {
    std::vector<TensorId> candidates;
    for (const Tensor& tensor : graph_.tensors) {
      if (fits(tensor)) {
        candidates.push_back(tensor.id);
      }
    }
    if (candidates.empty() || one_in(4)) {
      return std::nullopt;
    }
    return candidates[pick(0, candidates.size() - 1)];
  }

  /// A tensor of rank `low` to `high`, of `dtype` or of either type, within the element limit:
  /// a product of two earlier products would otherwise square the sizes op after op.
  TensorId operand(std::optional<DType> dtype, std::uint64_t low, std::uint64_t high) {
    const std::optional<TensorId> found = existing([&](const Tensor& tensor) {
      return (!dtype || tensor.dtype == *dtype) && tensor.shape.size() >= low &&
             tensor.shape.size() <= high && tensor.elements() <= limits_.max_elements;
    });
    return found ? *found : new_tensor(shape(low, high), dtype ? *dtype : any_dtype());
  }
  TensorId f32_operand(std::uint64_t low = 1, std::uint64_t high = 4) {
    return operand(DType::F32, low, high);
  }
  TensorId any_operand(std::uint64_t low = 1, std::uint64_t high = 4) {
    return operand(std::nullopt, low, high);
  }

  std::uint64_t any_axis(TensorId id) const { return pick(0, shape_of(id).size() - 1); }

  static TensorId built(Result<TensorId> result) {
    if (!result) {
      throw std::logic_error("random graph: the builder refused " + result.error().message);
    }
    return *result;
  }

  void binary(Binary method) {
    const TensorId left = f32_operand();
    const std::optional<TensorId> same_shape = existing([&](const Tensor& tensor) {
      return tensor.dtype == DType::F32 && tensor.shape == shape_of(left);
    });
    const TensorId right = one_in(4)    ? left
                           : same_shape ? *same_shape
                                        : new_tensor(shape_of(left), DType::F32);
    built((graph_.*method)(name("op"), left, right));
  }
  void unary(Unary method) { built((graph_.*method)(name("op"), f32_operand())); }
  void along_axis(AlongAxis method) {
    const TensorId input = f32_operand();
    built((graph_.*method)(name("op"), input, any_axis(input)));
  }

  void matmul() {
    const TensorId left = f32_operand(2, 2);
    const std::uint64_t rows = shape_of(left)[0];
    const std::uint64_t inner = shape_of(left)[1];
    const std::optional<TensorId> fitting = existing([&](const Tensor& tensor) {
      return tensor.dtype == DType::F32 && tensor.shape.size() == 2 && tensor.shape[0] == inner &&
             rows * tensor.shape[1] <= limits_.max_elements;
    });
    const TensorId right =
        rows == inner && one_in(4)
            ? left
            : (fitting ? *fitting
                       : new_tensor({inner, extent_beside(std::max(rows, inner))}, DType::F32));
    built(graph_.matmul(name("op"), left, right));
  }

  void batch_matmul() {
    const TensorId left = f32_operand(3, 4);
    const Shape& left_shape = shape_of(left);
    const std::uint64_t rows = left_shape[left_shape.size() - 2];
    const std::uint64_t inner = left_shape.back();
    const std::uint64_t batches = element_count(left_shape) / (rows * inner);
    TensorId right = left;
    if (rows != inner || !one_in(4)) {
      const std::uint64_t columns = extent_beside(batches * std::max(rows, inner));
      Shape right_shape(left_shape.begin(), left_shape.end() - 2);
      if (one_in(2)) {
        right_shape.clear(); // one matrix shared by every batch
      }
      right_shape.push_back(inner);
      right_shape.push_back(columns);
      right = new_tensor(std::move(right_shape), DType::F32);
    }
    built(graph_.batch_matmul(name("op"), left, right));
  }

  /// The element count split into 1 to 4 extents.
  void reshape() {
    const TensorId input = any_operand();
    std::vector<std::uint64_t> factors;
    std::uint64_t rest = element_count(shape_of(input));
    for (std::uint64_t factor = 2; factor <= rest; ++factor) {
      while (rest % factor == 0) {
        factors.push_back(factor);
        rest /= factor;
      }
    }
    Shape target(pick(1, 4), 1);
    for (const std::uint64_t factor : factors) {
      target[pick(0, target.size() - 1)] *= factor;
    }
    built(graph_.reshape(name("op"), input, std::move(target)));
  }

  void transpose() {
    const TensorId input = any_operand();
    std::vector<std::uint64_t> permutation(shape_of(input).size());
    std::iota(permutation.begin(), permutation.end(), std::uint64_t{0});
    for (std::size_t i = permutation.size(); i > 1; --i) {
      std::swap(permutation[i - 1], permutation[pick(0, i - 1)]);
    }
    built(graph_.transpose(name("op"), input, std::move(permutation)));
  }

  void layer_norm() {
    const float epsilons[] = {1e-5F, 0.0F, 1e-12F, 0.25F};
    built(graph_.layer_norm(name("op"), f32_operand(), epsilons[pick(0, std::size(epsilons) - 1)]));
  }

  /// Extents of 1 repeated and up to two axes added in front, within the limit; otherwise the
  /// input's own shape.
  void broadcast() {
    const TensorId input = any_operand();
    Shape target = shape_of(input);
    for (std::uint64_t& extent : target) {
      if (extent == 1 && one_in(2)) {
        extent = pick(1, 4);
      }
    }
    for (std::uint64_t added = pick(0, 2); added > 0; --added) {
      target.insert(target.begin(), pick(1, 3));
    }
    if (element_count(target) > limits_.max_elements) {
      target = shape_of(input);
    }
    built(graph_.broadcast(name("op"), input, std::move(target)));
  }

  void slice() {
    const TensorId input = any_operand();
    const std::uint64_t axis = any_axis(input);
    const std::uint64_t start = pick(0, shape_of(input)[axis] - 1);
    const std::uint64_t stop = pick(start + 1, shape_of(input)[axis]);
    built(graph_.slice(name("op"), input, axis, start, stop, pick(1, 3)));
  }

  /// The first operand and up to two more: itself again, a tensor made earlier that fits, or a
  /// new one, as long as the result stays within the limit.
  void concat() {
    const TensorId first = any_operand();
    const std::uint64_t axis = any_axis(first);
    const Shape shape = shape_of(first); // a copy: new tensors may move the records
    const std::uint64_t slab = element_count(shape) / shape[axis];
    std::vector<TensorId> inputs{first};
    std::uint64_t elements = element_count(shape);
    for (std::uint64_t more = pick(0, 2); more > 0; --more) {
      const std::optional<TensorId> fitting = existing([&](const Tensor& tensor) {
        if (tensor.dtype != dtype_of(first) || tensor.shape.size() != shape.size()) {
          return false;
        }
        for (std::size_t i = 0; i < shape.size(); ++i) {
          if (i != axis && tensor.shape[i] != shape[i]) {
            return false;
          }
        }
        return true;
      });
      Shape made = shape;
      made[axis] = extent_beside(slab);
      const TensorId next = one_in(3) ? first
                            : fitting ? *fitting
                                      : new_tensor(std::move(made), dtype_of(first));
      elements += element_count(shape_of(next));
      if (elements > limits_.max_elements) {
        break;
      }
      inputs.push_back(next);
    }
    built(graph_.concat(name("op"), std::move(inputs), axis));
  }

  /// Indices made for the table, whose values are mostly its rows, or, one time in four, any
  /// I32 tensor made earlier.
  void gather() {
    const TensorId table = any_operand(1, 3);
    const std::uint64_t rows = shape_of(table)[0];
    const std::uint64_t row_elements = element_count(shape_of(table)) / rows;
    const std::optional<TensorId> found = existing([&](const Tensor& tensor) {
      return tensor.dtype == DType::I32 && tensor.elements() * row_elements <= limits_.max_elements;
    });
    TensorId indices{};
    if (found && one_in(4)) {
      indices = *found;
    } else {
      Shape shape(pick(1, 2));
      std::uint64_t elements = row_elements;
      for (std::uint64_t& extent : shape) {
        extent = extent_beside(elements);
        elements *= extent;
      }
      indices = new_tensor(std::move(shape), DType::I32, rows);
    }
    built(graph_.gather(name("op"), table, indices));
  }

  void cast() { built(graph_.cast(name("op"), any_operand(), any_dtype())); }

  /// An operation of the kind at position `kind` of `OpKind::Variant`.
  void add_operation(std::uint64_t kind) {
    switch (kind) {
    case 0:
      return matmul();
    case 1:
      return binary(&Graph::add);
    case 2:
      return binary(&Graph::mul);
    case 3:
      return reshape();
    case 4:
      return transpose();
    case 5:
      return layer_norm();
    case 6:
      return along_axis(&Graph::softmax);
    case 7:
      return unary(&Graph::gelu);
    case 8:
      return batch_matmul();
    case 9:
      return binary(&Graph::sub);
    case 10:
      return binary(&Graph::div);
    case 11:
      return binary(&Graph::maximum);
    case 12:
      return binary(&Graph::minimum);
    case 13:
      return binary(&Graph::pow);
    case 14:
      return unary(&Graph::erf);
    case 15:
      return unary(&Graph::tanh);
    case 16:
      return unary(&Graph::exp);
    case 17:
      return unary(&Graph::log);
    case 18:
      return unary(&Graph::sqrt);
    case 19:
      return unary(&Graph::reciprocal);
    case 20:
      return unary(&Graph::neg);
    case 21:
      return unary(&Graph::abs);
    case 22:
      return unary(&Graph::relu);
    case 23:
      return unary(&Graph::sigmoid);
    case 24:
      return broadcast();
    case 25:
      return slice();
    case 26:
      return concat();
    case 27:
      return gather();
    case 28:
      return along_axis(&Graph::reduce_sum);
    case 29:
      return along_axis(&Graph::reduce_mean);
    case 30:
      return along_axis(&Graph::reduce_max);
    case 31:
      return cast();
    }
  }

  float small_float() const {
    return static_cast<float>(pick(0, (1U << 24U) - 1)) / 4194304.0F - 2.0F;
  }

  float special_float() const { return special_floats[pick(0, std::size(special_floats) - 1)]; }

  std::vector<float> floats(std::uint64_t count) const {
    std::vector<float> values(count);
    const std::uint64_t mode = pick(0, 4);
    for (float& value : values) {
      switch (mode) {
      case 0:
        value = small_float();
        break;
      case 1:
        value = one_in(3) ? special_float() : small_float();
        break;
      case 2:
        value = special_float();
        break;
      case 3: {
        const float magnitude =
            std::ldexp(1.0F + small_float() / 4.0F, static_cast<int>(pick(0, 280)) - 150);
        value = one_in(2) ? magnitude : -magnitude;
        break;
      }
      default:
        value = std::bit_cast<float>(static_cast<std::uint32_t>(pick(0, 0xFFFFFFFFU)));
        break;
      }
    }
    return values;
  }

  std::vector<std::int32_t> integers(const Tensor& tensor) const {
    std::vector<std::int32_t> values(tensor.elements());
    const std::uint64_t rows =
        tensor.id.index < index_rows_.size() ? index_rows_[tensor.id.index] : 0;
    const std::uint64_t mode = rows > 0 ? 3 : pick(0, 2);
    for (std::int32_t& value : values) {
      switch (mode) {
      case 0:
        value = static_cast<std::int32_t>(pick(0, 16)) - 8;
        break;
      case 1:
        value = static_cast<std::int32_t>(static_cast<std::uint32_t>(pick(0, 0xFFFFFFFFU)));
        break;
      case 2:
        value = special_integers[pick(0, std::size(special_integers) - 1)];
        break;
      default:
        value = static_cast<std::int32_t>(pick(0, rows - 1));
        break;
      }
    }
    if (rows > 0 && one_in(8)) {
      const std::int32_t outside[] = {-1, static_cast<std::int32_t>(rows),
                                      std::numeric_limits<std::int32_t>::min(),
                                      std::numeric_limits<std::int32_t>::max()};
      values[pick(0, values.size() - 1)] = outside[pick(0, std::size(outside) - 1)];
    }
    return values;
  }

  const Draw& draw_;
  RandomGraphLimits limits_;
  Graph graph_;
  /// For each tensor made as a gather's indices, the row count of its table; 0 for the others.
  std::vector<std::uint64_t> index_rows_;
};

} // namespace

Draw seeded_draw(std::uint64_t seed) {
  auto engine = std::make_shared<std::mt19937_64>(seed);
  return [engine](std::uint64_t low, std::uint64_t high) {
    return std::uniform_int_distribution<std::uint64_t>(low, high)(*engine);
  };
}

std::vector<TensorValue> RandomGraph::values() const {
  std::vector<TensorValue> result;
  for (const BoundValue& value : bound) {
    std::visit(
        [&](const auto& data) {
          using Element = typename std::remove_cvref_t<decltype(data)>::value_type;
          result.push_back({value.tensor, std::span<const Element>(data)});
        },
        value.data);
  }
  return result;
}

RandomGraph random_graph(const Draw& draw, const RandomGraphLimits& limits) {
  return Generator(draw, limits).run();
}

} // namespace orvik_compiler::testing
