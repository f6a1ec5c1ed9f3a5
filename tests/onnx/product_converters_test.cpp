// MatMul of every rank pairing, checked against NumPy's rule computed with plain loops, and the
// products the graph cannot express refused.

#include "evaluation_support.hpp"

#include <algorithm>
#include <functional>
#include <numeric>

namespace orvik_compiler::testing {
namespace {

using Shape = std::vector<std::uint64_t>;

std::uint64_t count_of(const Shape& shape) {
  return std::accumulate(shape.begin(), shape.end(), std::uint64_t{1}, std::multiplies<>());
}

/// Small integers, so that every product and sum is exact in single precision.
std::vector<float> ramp(const Shape& shape, int offset) {
  std::vector<float> values(count_of(shape));
  for (std::size_t i = 0; i < values.size(); ++i) {
    values[i] =
        static_cast<float>(static_cast<int>((i * 7 + static_cast<std::size_t>(offset)) % 11) - 5);
  }
  return values;
}

/// The row-major offset of `index` (aligned at the right with `shape`, extents of 1 repeating).
std::uint64_t offset_in(const Shape& shape, const Shape& index) {
  std::uint64_t offset = 0;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    const std::uint64_t at = index[index.size() - shape.size() + i];
    offset = offset * shape[i] + (shape[i] == 1 ? 0 : at);
  }
  return offset;
}

/// numpy.matmul written out: rank-1 operands promoted, batch axes broadcast, promoted axes
/// dropped from the result.
std::vector<float> reference_matmul(Shape a, const std::vector<float>& x, Shape b,
                                    const std::vector<float>& y) {
  if (a.size() == 1) {
    a.insert(a.begin(), 1);
  }
  if (b.size() == 1) {
    b.push_back(1);
  }
  const Shape batch_a(a.begin(), a.end() - 2);
  const Shape batch_b(b.begin(), b.end() - 2);
  Shape batch(std::max(batch_a.size(), batch_b.size()), 1);
  for (std::size_t i = 0; i < batch.size(); ++i) {
    const std::uint64_t p = i < batch_a.size() ? batch_a[batch_a.size() - 1 - i] : 1;
    const std::uint64_t q = i < batch_b.size() ? batch_b[batch_b.size() - 1 - i] : 1;
    batch[batch.size() - 1 - i] = std::max(p, q);
  }
  const std::uint64_t m = a[a.size() - 2];
  const std::uint64_t k = a.back();
  const std::uint64_t n = b.back();
  std::vector<float> result;
  Shape index(batch.size(), 0);
  for (std::uint64_t flat = 0; flat < count_of(batch); ++flat) {
    std::uint64_t rest = flat;
    for (std::size_t i = batch.size(); i-- > 0;) {
      index[i] = rest % batch[i];
      rest /= batch[i];
    }
    const std::uint64_t base_a = offset_in(batch_a, index) * m * k;
    const std::uint64_t base_b = offset_in(batch_b, index) * k * n;
    for (std::uint64_t row = 0; row < m; ++row) {
      for (std::uint64_t column = 0; column < n; ++column) {
        float sum = 0.0F;
        for (std::uint64_t i = 0; i < k; ++i) {
          sum += x[base_a + row * k + i] * y[base_b + i * n + column];
        }
        result.push_back(sum);
      }
    }
  }
  return result;
}

std::vector<Extent> extents(const Shape& shape) {
  std::vector<Extent> result;
  for (const std::uint64_t extent : shape) {
    result.emplace_back(static_cast<std::int64_t>(extent));
  }
  return result;
}

std::size_t count_kind(const Graph& graph, std::size_t kind_index) {
  return static_cast<std::size_t>(
      std::count_if(graph.ops.begin(), graph.ops.end(),
                    [&](const Op& op) { return op.kind.value.index() == kind_index; }));
}

struct MatMulCase {
  const char* what;
  Shape a;
  Shape b;
  bool b_constant;
  /// The Broadcast operations the import needs: none where a rank-2 matrix is shared.
  std::size_t broadcasts;
};

TEST_CASE("MatMul of any ranks computes numpy.matmul", "[onnx]") {
  const std::vector<MatMulCase> cases{
      {"rank 2 by rank 2", {3, 4}, {4, 5}, false, 0},
      {"rank 3 by a rank-2 weight, shared without a copy", {2, 3, 4}, {4, 5}, true, 0},
      {"rank 4 by a rank-2 activation", {2, 2, 3, 4}, {4, 5}, false, 0},
      {"equal batch extents", {2, 3, 4}, {2, 4, 5}, false, 0},
      {"a right operand of batch extent 1 is one shared matrix", {3, 3, 4}, {1, 4, 5}, false, 0},
      {"a left operand of batch extent 1 is broadcast", {1, 3, 4}, {2, 4, 5}, false, 1},
      {"rank 2 by rank 3: the left operand is broadcast", {3, 4}, {2, 4, 5}, false, 1},
      {"batch axes that broadcast both ways", {2, 1, 3, 4}, {1, 3, 4, 5}, false, 2},
      {"a rank-1 left operand is a row whose axis is dropped", {4}, {2, 4, 5}, false, 1},
      {"a rank-1 right operand is a column whose axis is dropped", {2, 3, 4}, {4}, true, 0},
      {"rank 1 by rank 2", {4}, {4, 5}, false, 0},
  };
  for (const MatMulCase& c : cases) {
    SECTION(c.what) {
      ModelBuilder model;
      model.input("a", extents(c.a));
      const std::vector<float> x = ramp(c.a, 0);
      const std::vector<float> y = ramp(c.b, 3);
      if (c.b_constant) {
        model.initializer("b", std::vector<std::int64_t>(c.b.begin(), c.b.end()), y);
      } else {
        model.input("b", extents(c.b));
      }
      model.node("MatMul", {"a", "b"}, {"y"});
      const OnnxModel imported = expect_value(import_built(model.output("y")));
      CHECK(evaluate_imported(imported, {{"a", x}, {"b", y}}) ==
            std::vector<TensorData>{reference_matmul(c.a, x, c.b, y)});
      CHECK(count_kind(imported.graph, OpKind::Variant(OpKind::Broadcast{}).index()) ==
            c.broadcasts);
    }
  }
}

TEST_CASE("a rank-3 activation by a rank-2 weight is one BatchMatMul of the weight itself",
          "[onnx]") {
  ModelBuilder model;
  model.input("x", {2, 3, 4}).initializer("w", {4, 5}, std::vector<float>(20, 0.5F));
  model.node("MatMul", {"x", "w"}, {"y"});
  const OnnxModel imported = expect_value(import_built(model.output("y")));
  CHECK(describe(imported.graph) ==
        std::vector<std::string>{"y = BatchMatMul(x, w)", "-> y [2, 3, 5]"});
}

struct MatMulRefusal {
  const char* what;
  Shape a;
  Shape b;
  std::string message;
};

TEST_CASE("products the graph cannot express are refused, naming the node", "[onnx]") {
  const std::vector<MatMulRefusal> refusals{
      {"inner extents that differ",
       {2, 3, 4},
       {5, 6},
       "model.onnx: node 0 \"mm\" (MatMul): matmul of [2, 3, 4] x [5, 6]: the inner extents 4 "
       "and 5 differ"},
      {"batch extents that do not broadcast",
       {2, 3, 4},
       {3, 4, 5},
       "model.onnx: node 0 \"mm\" (MatMul): matmul of [2, 3, 4] x [3, 4, 5]: the batch extents "
       "do not broadcast"},
      {"two vectors, whose product is a scalar",
       {4},
       {4},
       "model.onnx: node 0 \"mm\" (MatMul): the result is a scalar; the graph has no rank-0 "
       "tensors"},
  };
  for (const MatMulRefusal& refusal : refusals) {
    SECTION(refusal.what) {
      ModelBuilder model;
      model.input("a", extents(refusal.a)).input("b", extents(refusal.b));
      model.node("MatMul", {"a", "b"}, {"y"}, "mm");
      CHECK(import_error(model.output("y", onnx::TensorProto::FLOAT, std::vector<Extent>{1})) ==
            refusal.message);
    }
  }
}

} // namespace
} // namespace orvik_compiler::testing
