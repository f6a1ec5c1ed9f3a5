// Imports an ONNX model, compiles it, and evaluates it on the host with its one input read from
// an ONNX tensor file:  import_model MODEL.onnx INPUT.pb

#include <orvik_compiler/onnx.hpp>
#include <orvik_compiler/orvik_compiler.hpp>

#include <iostream>

int main(int argc, char** argv) {
  using namespace orvik_compiler;
  if (argc != 3) {
    std::cerr << "usage: import_model MODEL.onnx INPUT.pb\n";
    return 2;
  }

  OnnxImportOptions options;
  options.dimensions["batch"] = 1; // extents of symbolic dimensions, by dim_param
  const Result<OnnxModel> model = import_onnx(argv[1], options);
  if (!model) {
    std::cerr << model.error().message << '\n'; // e.g. model.onnx: node 7 "act" (Hardmax): ...
    return 1;
  }
  const Result<Schedule> schedule = compile(model->graph, CompilerOptions{});
  if (!schedule) {
    std::cerr << schedule.error() << '\n';
    return 1;
  }
  std::cout << "compiled into " << schedule->phases.size() << " phases\n";

  std::vector<TensorValue> values; // the weights, read in place, and the input
  for (const WeightValues& weight : model->weights) {
    values.push_back(weight.binding()); // F32 weights, or the I32 indices some converters make
  }
  const Result<OnnxTensor> input = read_onnx_tensor(argv[2]);
  if (!input || model->input_names.size() != 1) {
    std::cerr << "the example reads one input\n";
    return 1;
  }
  for (const Tensor& tensor : model->graph.tensors) {
    if (tensor.name == model->input_names[0]) {
      values.push_back({tensor.id, input->values});
    }
  }
  const Result<std::vector<std::vector<float>>> outputs = evaluate(model->graph, values);
  if (!outputs) {
    std::cerr << outputs.error() << '\n';
    return 1;
  }
  std::cout << model->output_names[0] << ": " << outputs->at(0).size() << " values, first "
            << outputs->at(0).at(0) << '\n';
  return 0;
}
