// The encoder workload in Python: its configuration and graph, its weights as NumPy arrays, and
// the host reference evaluation.

#include "bindings.hpp"

#include <algorithm>
#include <array>
#include <utility>

namespace orvik_python {
namespace {

namespace oc = orvik_compiler;
using namespace pybind11::literals;

/// The six weight matrices as NumPy arrays, each 2-D float32 of its matrix's shape once checked
/// by `encoder_reference`.
struct EncoderWeightArrays {
  FloatArray wq;
  FloatArray wk;
  FloatArray wv;
  FloatArray wo;
  FloatArray w1;
  FloatArray w2;
};

/// A weight matrix: its name, where it is kept on each side, and its shape in a configuration.
struct WeightMatrix {
  const char* name;
  FloatArray EncoderWeightArrays::*array;
  std::vector<float> oc::EncoderWeights::*values;
  std::span<const float> oc::EncoderWeightsView::*view;
  std::uint64_t oc::EncoderConfig::*rows;
  std::uint64_t oc::EncoderConfig::*columns;
  const char* doc;

  std::array<std::uint64_t, 2> shape(const oc::EncoderConfig& config) const {
    return {config.*rows, config.*columns};
  }
};

constexpr std::array<WeightMatrix, 6> weight_matrices{{
    {"wq", &EncoderWeightArrays::wq, &oc::EncoderWeights::wq, &oc::EncoderWeightsView::wq,
     &oc::EncoderConfig::hidden, &oc::EncoderConfig::hidden,
     "The query projection, hidden x hidden."},
    {"wk", &EncoderWeightArrays::wk, &oc::EncoderWeights::wk, &oc::EncoderWeightsView::wk,
     &oc::EncoderConfig::hidden, &oc::EncoderConfig::hidden,
     "The key projection, hidden x hidden."},
    {"wv", &EncoderWeightArrays::wv, &oc::EncoderWeights::wv, &oc::EncoderWeightsView::wv,
     &oc::EncoderConfig::hidden, &oc::EncoderConfig::hidden,
     "The value projection, hidden x hidden."},
    {"wo", &EncoderWeightArrays::wo, &oc::EncoderWeights::wo, &oc::EncoderWeightsView::wo,
     &oc::EncoderConfig::hidden, &oc::EncoderConfig::hidden,
     "The attention output projection, hidden x hidden."},
    {"w1", &EncoderWeightArrays::w1, &oc::EncoderWeights::w1, &oc::EncoderWeightsView::w1,
     &oc::EncoderConfig::hidden, &oc::EncoderConfig::feed_forward,
     "The feed-forward expansion, hidden x feed_forward."},
    {"w2", &EncoderWeightArrays::w2, &oc::EncoderWeights::w2, &oc::EncoderWeightsView::w2,
     &oc::EncoderConfig::feed_forward, &oc::EncoderConfig::hidden,
     "The feed-forward contraction, feed_forward x hidden."},
}};

EncoderWeightArrays deterministic_weights(oc::EncoderConfig config) {
  oc::EncoderWeights weights;
  {
    const py::gil_scoped_release release;
    weights = oc::EncoderWeights::deterministic(config);
  }
  EncoderWeightArrays arrays;
  for (const WeightMatrix& matrix : weight_matrices) {
    arrays.*matrix.array = to_array(std::move(weights.*matrix.values), matrix.shape(config));
  }
  return arrays;
}

/// Raises CompileError unless `array` has exactly `expected` as its shape.
void check_shape(const FloatArray& array, std::span<const std::uint64_t> expected,
                 const std::string& what) {
  const std::vector<std::uint64_t> shape = shape_of(array);
  if (!std::equal(shape.begin(), shape.end(), expected.begin(), expected.end())) {
    raise_compile_error(oc::CompileError::graph(what + " has shape " + shape_text(shape) +
                                                ", expected " + shape_text(expected)));
  }
}

// `arrays` is taken by value: its references keep every matrix alive while the library reads
// them in place without the GIL, even if another thread assigns a new array to a field of the
// weights meanwhile.
FloatArray reference(oc::EncoderConfig config, const py::handle& input_object,
                     EncoderWeightArrays arrays) {
  const FloatArray input = as_float_array(input_object, "encoder input");
  const std::array<std::uint64_t, 2> input_shape{config.sequence, config.hidden};
  check_shape(input, input_shape, "encoder input");
  oc::EncoderWeightsView weights;
  for (const WeightMatrix& matrix : weight_matrices) {
    const FloatArray& array = arrays.*matrix.array;
    check_shape(array, matrix.shape(config), std::string("weight ") + matrix.name);
    weights.*matrix.view = values_of(array);
  }
  std::vector<float> result;
  {
    const py::gil_scoped_release release;
    result = oc::encoder_reference(config, values_of(input), weights).value();
  }
  return to_array(std::move(result), input_shape);
}

} // namespace

void bind_encoder(py::module_& module) {
  py::class_<oc::EncoderConfig> config(module, "EncoderConfig",
                                       "The dimensions of one encoder layer.");
  config
      .def(py::init([](std::uint64_t sequence, std::uint64_t hidden, std::uint64_t heads,
                       std::uint64_t feed_forward) {
             return oc::EncoderConfig{sequence, hidden, heads, feed_forward};
           }),
           "sequence"_a = oc::EncoderConfig{}.sequence, "hidden"_a = oc::EncoderConfig{}.hidden,
           "heads"_a = oc::EncoderConfig{}.heads,
           "feed_forward"_a = oc::EncoderConfig{}.feed_forward,
           "A configuration; the defaults are 32, 64, 4 and 256.")
      .def_readwrite("sequence", &oc::EncoderConfig::sequence,
                     "Tokens: the rows of every activation.")
      .def_readwrite("hidden", &oc::EncoderConfig::hidden,
                     "Model width: the columns of the activations.")
      .def_readwrite("heads", &oc::EncoderConfig::heads, "Attention heads.")
      .def_readwrite("feed_forward", &oc::EncoderConfig::feed_forward,
                     "Width of the feed-forward block's inner layer.");
  with_equality_and_repr(config);

  module.def(
      "encoder_graph",
      [](oc::EncoderConfig encoder) {
        const py::gil_scoped_release release;
        return oc::encoder_graph(encoder).value();
      },
      "config"_a,
      "The encoder layer as a graph of 22 tensors and 15 operations with \"ffn_residual\" as "
      "its one output; CompileError \"invalid encoder dimensions\" when sequence, hidden or "
      "heads is 0 or hidden is not a multiple of heads.");

  py::class_<EncoderWeightArrays> weights(
      module, "EncoderWeights",
      "The six weight matrices of one layer as 2-D float32 NumPy arrays, applied from the "
      "right: wq, wk, wv, wo of hidden x hidden, w1 of hidden x feed_forward, w2 of "
      "feed_forward x hidden.");
  weights
      .def(py::init([](FloatArray wq, FloatArray wk, FloatArray wv, FloatArray wo, FloatArray w1,
                       FloatArray w2) {
             return EncoderWeightArrays{std::move(wq), std::move(wk), std::move(wv),
                                        std::move(wo), std::move(w1), std::move(w2)};
           }),
           "wq"_a, "wk"_a, "wv"_a, "wo"_a, "w1"_a, "w2"_a,
           "Weights from six arrays. An array that is C-contiguous float32 is kept as it is, "
           "not copied, so that a change to its values shows in the weights; any other is "
           "converted to one. Assigning a field does the same.")
      .def_static("deterministic", &deterministic_weights, "config"_a,
                  "The library's deterministic weights for a configuration, the same on every "
                  "run and machine. OverflowError when a matrix's size does not fit 64 bits. "
                  "Releases the GIL.");
  for (const WeightMatrix& matrix : weight_matrices) {
    weights.def_readwrite(matrix.name, matrix.array, matrix.doc);
  }

  module.def("encoder_reference", &reference, "config"_a, "input"_a, "weights"_a,
             "Evaluates one encoder layer on the host, bit-repeatably, and returns its sequence "
             "x hidden result. The input (sequence x hidden) and every weight matrix must have "
             "their shapes exactly (CompileError otherwise). The weights and, when it is "
             "C-contiguous float32, the input are read in place, never copied. Releases the "
             "GIL.");
}

} // namespace orvik_python
