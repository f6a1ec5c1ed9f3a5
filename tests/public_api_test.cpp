// Every public name of the core library is reachable through the umbrella header alone: this
// file includes nothing else of the library, so a name that a header move leaves behind fails
// to compile here.

#include <orvik_compiler/orvik_compiler.hpp>

#include <catch2/catch.hpp>

#include <functional>
#include <sstream>
#include <type_traits>
#include <variant>

namespace oc = orvik_compiler;

TEST_CASE("every public name is reachable through the umbrella header", "[api]") {
  // The records and value types.
  static_assert(std::is_class_v<oc::TensorId> && std::is_class_v<oc::OpId>);
  static_assert(std::is_class_v<oc::DType> && std::is_enum_v<oc::TensorKind>);
  static_assert(std::is_class_v<oc::Tensor> && std::is_class_v<oc::OpKind>);
  static_assert(std::is_class_v<oc::Op> && std::is_class_v<oc::Graph>);
  static_assert(std::is_class_v<oc::CompilerOptions> && std::is_enum_v<oc::Sharding>);
  static_assert(std::is_class_v<oc::Layout> && std::is_class_v<oc::SpecializationKey>);
  static_assert(std::is_class_v<oc::KernelCommand> && std::is_class_v<oc::Transfer>);
  static_assert(std::is_class_v<oc::Phase> && std::is_class_v<oc::Phase::Exchange> &&
                std::is_class_v<oc::Phase::Compute>);
  static_assert(std::is_class_v<oc::Allocation> && std::is_class_v<oc::Schedule>);
  static_assert(std::is_class_v<oc::EncoderConfig> && std::is_class_v<oc::EncoderWeights>);
  static_assert(std::is_class_v<oc::TensorValue> && std::is_class_v<oc::CompileError>);
  static_assert(std::variant_size_v<oc::TensorData> == 2);
  static_assert(oc::DType{oc::DType::I32} != oc::DType{oc::DType::F32});
  static_assert(std::is_base_of_v<std::logic_error, oc::BadResultAccess>);
  static_assert(std::is_class_v<oc::Result<int>> && std::is_class_v<oc::Result<void>>);
  static_assert(std::is_invocable_r_v<std::size_t, std::hash<oc::TensorId>, oc::TensorId>);

  // The free functions, each named as a caller names it.
  const auto reachable = [](auto function) { return function != nullptr; };
  CHECK(reachable(&oc::sharding_name));
  CHECK(reachable(&oc::sharding_named));
  CHECK(reachable(&oc::choose_layout));
  CHECK(reachable(&oc::layout_tile_count));
  CHECK(reachable(&oc::local_bytes));
  CHECK(reachable(&oc::worker_count));
  CHECK(reachable(&oc::operation_name));
  CHECK(reachable(&oc::operation_kind));
  CHECK(reachable(&oc::validate_transfers));
  CHECK(reachable(&oc::lifetimes_overlap));
  CHECK(reachable(&oc::align_u32));
  CHECK(reachable(&oc::plan_memory));
  CHECK(reachable(&oc::compile));
  CHECK(reachable(&oc::verify_schedule));
  CHECK(reachable(&oc::encoder_graph));
  CHECK(reachable(&oc::append_encoder_layer));
  CHECK(reachable(&oc::encoder_reference));
  CHECK(reachable(&oc::kernels::matmul));
  CHECK(reachable(&oc::kernels::layer_norm));
  CHECK(reachable(&oc::kernels::softmax_rows));
  CHECK(reachable(&oc::kernels::gelu));
  CHECK(reachable(&oc::evaluate));
  CHECK(reachable(&oc::evaluate_typed));
  CHECK(reachable(&oc::kind_name));
  CHECK(reachable(&oc::write_escaped));
  CHECK(reachable(&oc::shape_text));
  CHECK(reachable(&oc::EncoderWeights::deterministic));

  // The builder methods, the input and weight with their optional element type among them.
  CHECK(reachable(&oc::Graph::input));
  CHECK(reachable(&oc::Graph::weight));
  for (const auto method :
       {&oc::Graph::matmul, &oc::Graph::add, &oc::Graph::mul, &oc::Graph::batch_matmul,
        &oc::Graph::sub, &oc::Graph::div, &oc::Graph::maximum, &oc::Graph::minimum, &oc::Graph::pow,
        &oc::Graph::gather}) {
    CHECK(reachable(method));
  }
  for (const auto method :
       {&oc::Graph::gelu, &oc::Graph::erf, &oc::Graph::tanh, &oc::Graph::exp, &oc::Graph::log,
        &oc::Graph::sqrt, &oc::Graph::reciprocal, &oc::Graph::neg, &oc::Graph::abs,
        &oc::Graph::relu, &oc::Graph::sigmoid}) {
    CHECK(reachable(method));
  }
  for (const auto method : {&oc::Graph::softmax, &oc::Graph::reduce_sum, &oc::Graph::reduce_mean,
                            &oc::Graph::reduce_max}) {
    CHECK(reachable(method));
  }
  CHECK(reachable(&oc::Graph::reshape));
  CHECK(reachable(&oc::Graph::transpose));
  CHECK(reachable(&oc::Graph::layer_norm));
  CHECK(reachable(&oc::Graph::broadcast));
  CHECK(reachable(&oc::Graph::slice));
  CHECK(reachable(&oc::Graph::concat));
  CHECK(reachable(&oc::Graph::cast));

  // One printer per record, found by argument-dependent lookup as a caller writes it.
  std::ostringstream out;
  out << oc::TensorId{0} << oc::OpId{0} << oc::DType::F32 << oc::DType::I32 << oc::TensorKind::Input
      << oc::CompilerOptions{} << oc::Sharding::Rows << oc::EncoderConfig{}
      << oc::CompileError::graph("x");
  CHECK_FALSE(out.str().empty());
}
