// The graph records: element counts and ids.

#include "test_support.hpp"

#include <limits>
#include <unordered_set>

namespace orvik_compiler {
namespace {

using testing::debug;

TEST_CASE("element counts are the product of the shape and never wrap", "[graph]") {
  const auto elements = [](std::vector<std::uint64_t> shape) {
    return Tensor{TensorId{0}, "t", DType::F32, std::move(shape), TensorKind::Input, {}}.elements();
  };
  CHECK(elements({}) == 1);
  CHECK(elements({2, 3, 4}) == 24);
  CHECK(elements({2, 0, 4}) == 0);
  CHECK(elements({std::uint64_t{1} << 32U, std::uint64_t{1} << 31U}) == std::uint64_t{1} << 63U);
  CHECK_THROWS_AS(elements({std::uint64_t{1} << 32U, std::uint64_t{1} << 32U}),
                  std::overflow_error);
  // A zero after an overflowing prefix still overflows: the product is computed in order.
  CHECK_THROWS_AS(elements({std::numeric_limits<std::uint64_t>::max(), 2, 0}), std::overflow_error);
  CHECK(DType{}.size() == 4);
}

TEST_CASE("ids compare and hash by index and print in tuple form", "[graph]") {
  CHECK(TensorId{3} == TensorId{3});
  CHECK(TensorId{3} != TensorId{4});
  CHECK(debug(TensorId{0}) == "TensorId(0)");
  CHECK(debug(OpId{3}) == "OpId(3)");
  const std::unordered_set<TensorId> ids{TensorId{1}, TensorId{1}, TensorId{2}};
  CHECK(ids.size() == 2);
}

} // namespace
} // namespace orvik_compiler
