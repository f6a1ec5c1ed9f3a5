// ONNX's own test suite, as Debian's libonnx-testdata holds it: every case (a directory with
// model.onnx and test_data_set_*/input_*.pb, output_*.pb) is imported. A case that imports is
// compiled, and evaluated on each of its data sets with every output compared with the expected
// one at ONNX's default tolerance (relative 1e-3, absolute 1e-7). A case that is refused as it is
// is tried once more with the inputs after the first bound as constants and the statistics
// outputs of LayerNormalization nodes dropped, since broadcasts, shapes and axes need constants
// and those outputs are not supported. Everything else must be refused with a message.
//
// Prints the counts, the refusals grouped by operator and reason, and every failure. Fails when a
// case fails (a wrong value, a compile error) or when a case of the expected list does not pass.
//
//   onnx_test_suite DATA_DIRECTORY EXPECTED_PASSES_FILE

#include <orvik_compiler/onnx.hpp>
#include <orvik_compiler/orvik_compiler.hpp>

#include <onnx/onnx_pb.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
namespace oc = orvik_compiler;

enum class Outcome { Passed, PassedAdapted, Refused, Failed };

struct CaseResult {
  std::string name;
  Outcome outcome = Outcome::Refused;
  /// The refusal (of the case as it is) or the failure; for an adapted pass, what was changed.
  std::string message;
};

/// The files of one data set: input_0.pb, input_1.pb, ... or output_0.pb, ...
std::vector<fs::path> numbered(const fs::path& set, const std::string& prefix) {
  std::vector<fs::path> files;
  for (std::size_t i = 0;; ++i) {
    const fs::path file = set / (prefix + std::to_string(i) + ".pb");
    if (!fs::exists(file)) {
      return files;
    }
    files.push_back(file);
  }
}

std::vector<fs::path> data_sets(const fs::path& case_directory) {
  std::vector<fs::path> sets;
  for (const fs::directory_entry& entry : fs::directory_iterator(case_directory)) {
    if (entry.is_directory() && entry.path().filename().string().starts_with("test_data_set_")) {
      sets.push_back(entry.path());
    }
  }
  std::sort(sets.begin(), sets.end());
  return sets;
}

/// The graph inputs that no initializer gives a value, in order: the ones the data sets feed.
std::vector<std::string> fed_inputs(const onnx::GraphProto& graph) {
  std::set<std::string> initialized;
  for (const onnx::TensorProto& initializer : graph.initializer()) {
    initialized.insert(initializer.name());
  }
  std::vector<std::string> names;
  for (const onnx::ValueInfoProto& input : graph.input()) {
    if (!initialized.contains(input.name())) {
      names.push_back(input.name());
    }
  }
  return names;
}

/// A case's model as the test changes it, and what it changed.
struct Adapted {
  onnx::ModelProto model;
  std::string changes;
};

/// The model with the fed inputs after the first bound to the data set's values as initializers,
/// and the Mean and InvStdDev outputs of LayerNormalization nodes dropped from the outputs.
/// Nothing when neither applies.
std::optional<Adapted> adapted(onnx::ModelProto model, const fs::path& set) {
  onnx::GraphProto& graph = *model.mutable_graph();
  const std::vector<std::string> inputs = fed_inputs(graph);
  const std::vector<fs::path> files = numbered(set, "input_");
  std::vector<std::string> changes;
  for (std::size_t i = 1; i < inputs.size() && i < files.size(); ++i) {
    onnx::TensorProto tensor;
    std::ifstream file(files[i], std::ios::binary);
    if (!tensor.ParseFromIstream(&file)) {
      return std::nullopt;
    }
    tensor.set_name(inputs[i]);
    *graph.add_initializer() = std::move(tensor);
    if (changes.empty()) {
      changes.push_back("inputs after the first bound as constants");
    }
  }
  std::set<std::string> statistics;
  for (const onnx::NodeProto& node : graph.node()) {
    if (node.op_type() == "LayerNormalization") {
      statistics.insert(node.output().begin() + std::min(node.output_size(), 1),
                        node.output().end());
    }
  }
  auto* outputs = graph.mutable_output();
  const auto kept =
      std::remove_if(outputs->begin(), outputs->end(), [&](const onnx::ValueInfoProto& output) {
        return statistics.contains(output.name());
      });
  if (kept != outputs->end()) {
    changes.push_back("statistics outputs dropped");
  }
  outputs->erase(kept, outputs->end());
  if (changes.empty()) {
    return std::nullopt;
  }
  return Adapted{std::move(model),
                 changes.size() == 1 ? changes[0] : changes[0] + ", " + changes[1]};
}

/// The expected outputs of a data set, by output name, read from output_i.pb in the order of
/// the case's own model's outputs.
std::map<std::string, oc::OnnxTensor> expected_outputs(const onnx::GraphProto& graph,
                                                       const fs::path& set) {
  std::map<std::string, oc::OnnxTensor> expected;
  const std::vector<fs::path> files = numbered(set, "output_");
  for (int i = 0; i < graph.output_size() && static_cast<std::size_t>(i) < files.size(); ++i) {
    expected.emplace(graph.output(i).name(),
                     oc::read_onnx_tensor(files[static_cast<std::size_t>(i)]).value());
  }
  return expected;
}

/// Whether `actual` is `expected` within NumPy's assert_allclose at rtol 1e-3, atol 1e-7.
bool close(float actual, float expected) {
  if (std::isnan(expected) || std::isnan(actual)) {
    return std::isnan(expected) && std::isnan(actual);
  }
  if (std::isinf(expected) || std::isinf(actual)) {
    return actual == expected;
  }
  return std::abs(static_cast<double>(actual) - expected) <= 1e-7 + 1e-3 * std::abs(expected);
}

/// Evaluates the imported model on one data set and compares every output; the first
/// difference, or nothing.
std::optional<std::string> compare(const oc::OnnxModel& model, const std::vector<std::string>& fed,
                                   const fs::path& set,
                                   const std::map<std::string, oc::OnnxTensor>& expected) {
  std::vector<oc::TensorValue> values;
  for (const oc::WeightValues& weight : model.weights) {
    values.push_back(weight.binding());
  }
  // The inputs the model still has, by their positions among the fed ones.
  const std::vector<fs::path> files = numbered(set, "input_");
  std::vector<oc::OnnxTensor> inputs;
  inputs.reserve(files.size());
  for (std::size_t i = 0; i < fed.size() && i < files.size(); ++i) {
    const auto input = std::find(model.input_names.begin(), model.input_names.end(), fed[i]);
    if (input == model.input_names.end()) {
      continue;
    }
    inputs.push_back(oc::read_onnx_tensor(files[i]).value());
    for (const oc::Tensor& tensor : model.graph.tensors) {
      if (tensor.name == fed[i] && tensor.kind != oc::TensorKind::Weight) {
        if (tensor.shape != inputs.back().shape) {
          return "input " + fed[i] + " has another shape than its data";
        }
        if (inputs.back().dtype == oc::DType::I32) {
          values.push_back({tensor.id, std::span<const std::int32_t>(inputs.back().int_values)});
        } else {
          values.push_back({tensor.id, std::span<const float>(inputs.back().values)});
        }
      }
    }
  }
  const oc::Result<std::vector<std::vector<float>>> outputs = oc::evaluate(model.graph, values);
  if (!outputs) {
    return "evaluate: " + outputs.error().message;
  }
  for (std::size_t i = 0; i < model.output_names.size(); ++i) {
    const oc::OnnxTensor& want = expected.at(model.output_names[i]);
    const std::vector<float>& got = (*outputs)[i];
    const oc::Tensor& tensor = model.graph.tensors[model.graph.outputs[i].index];
    if (tensor.shape != want.shape) {
      return "output " + model.output_names[i] + " has another shape than expected";
    }
    if (got.size() != want.values.size()) {
      return "output " + model.output_names[i] + " has another size than expected";
    }
    for (std::size_t k = 0; k < got.size(); ++k) {
      if (!close(got[k], want.values[k])) {
        std::ostringstream difference;
        difference.precision(9);
        difference << set.filename().string() << ": output " << model.output_names[i] << " element "
                   << k << " is " << got[k] << ", expected " << want.values[k];
        return difference.str();
      }
    }
  }
  return std::nullopt;
}

/// A model written to a scratch file beside nothing else, removed afterwards.
class ScratchModel {
public:
  explicit ScratchModel(const onnx::ModelProto& model)
      : path_(fs::temp_directory_path() /
              ("orvik-onnx-suite-" + std::to_string(::getpid()) + ".onnx")) {
    std::ofstream file(path_, std::ios::binary);
    model.SerializeToOstream(&file);
  }
  ScratchModel(const ScratchModel&) = delete;
  ScratchModel& operator=(const ScratchModel&) = delete;
  ~ScratchModel() { fs::remove(path_); }
  const fs::path& path() const { return path_; }

private:
  fs::path path_;
};

/// Runs one case: import as it is, or adapted per data set; compile; evaluate and compare.
CaseResult run_case(const fs::path& directory, const std::string& name) {
  const fs::path file = directory / "model.onnx";
  const oc::Result<oc::OnnxModel> as_is = oc::import_onnx(file, {});
  onnx::ModelProto proto;
  {
    std::ifstream stream(file, std::ios::binary);
    proto.ParseFromIstream(&stream);
  }
  const std::vector<fs::path> sets = data_sets(directory);
  // One model for every data set, or one adapted model per data set.
  std::vector<oc::OnnxModel> models;
  std::string adaptation;
  if (as_is) {
    models.push_back(*as_is);
  } else {
    for (const fs::path& set : sets) {
      const std::optional<Adapted> changed = adapted(proto, set);
      if (!changed) {
        break;
      }
      const ScratchModel scratch(changed->model);
      oc::Result<oc::OnnxModel> imported = oc::import_onnx(scratch.path(), {});
      if (!imported) {
        break;
      }
      models.push_back(std::move(*imported));
      adaptation = changed->changes;
    }
    if (models.empty() || models.size() != sets.size()) {
      return {name, Outcome::Refused,
              as_is.error().message.substr(file.string().size() + std::string(": ").size())};
    }
  }
  if (const oc::Result<oc::Schedule> schedule = oc::compile(models.front().graph, {}); !schedule) {
    return {name, Outcome::Failed, "compile: " + schedule.error().message};
  }
  const std::vector<std::string> fed = fed_inputs(proto.graph());
  for (std::size_t s = 0; s < sets.size(); ++s) {
    const oc::OnnxModel& model = models[as_is ? 0 : s];
    if (const std::optional<std::string> difference =
            compare(model, fed, sets[s], expected_outputs(proto.graph(), sets[s]))) {
      return {name, Outcome::Failed, *difference};
    }
  }
  return {name, as_is ? Outcome::Passed : Outcome::PassedAdapted, adaptation};
}

/// The operator a refusal names, "node N "name" (Op): ...", "(inputs and outputs)" or
/// "(model)" for the rest, and the reason with names and shapes left out, so that equal reasons
/// group.
std::pair<std::string, std::string> operator_and_reason(const std::string& message) {
  const std::regex node_message(R"(^node \d+ ".*?" \(([^)]*)\): (.*)$)");
  std::string first_line = message.substr(0, message.find('\n'));
  std::smatch match;
  std::string op = first_line.starts_with("input ") || first_line.starts_with("output ")
                       ? "(inputs and outputs)"
                       : "(model)";
  if (std::regex_match(first_line, match, node_message)) {
    op = match[1];
    first_line = match[2];
  }
  first_line = std::regex_replace(first_line, std::regex(R"("[^"]*")"), "\"…\"");
  first_line = std::regex_replace(first_line, std::regex(R"(\[[0-9, ]*\])"), "[…]");
  return {op, first_line};
}

std::set<std::string> read_expected(const fs::path& file) {
  std::set<std::string> names;
  std::ifstream stream(file);
  for (std::string line; std::getline(stream, line);) {
    if (!line.empty() && line.front() != '#') {
      names.insert(line);
    }
  }
  return names;
}

} // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: onnx_test_suite DATA_DIRECTORY EXPECTED_PASSES_FILE\n";
    return 2;
  }
  const fs::path root = argv[1];
  const std::set<std::string> expected = read_expected(argv[2]);
  if (!fs::is_directory(root) || expected.empty()) {
    std::cerr << "no test data in " << root << " or no expected passes in " << argv[2] << '\n';
    return 2;
  }
  std::vector<fs::path> cases;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
    if (entry.path().filename() == "model.onnx") {
      cases.push_back(entry.path().parent_path());
    }
  }
  std::sort(cases.begin(), cases.end());

  std::vector<CaseResult> results;
  for (const fs::path& directory : cases) {
    results.push_back(run_case(directory, fs::relative(directory, root).string()));
  }

  std::map<Outcome, std::size_t> counts;
  std::map<std::string, std::map<std::string, std::size_t>> refusals;
  std::map<std::string, std::size_t> refused_by_operator;
  bool ok = true;
  for (const CaseResult& result : results) {
    ++counts[result.outcome];
    if (result.outcome == Outcome::Refused) {
      const auto [op, reason] = operator_and_reason(result.message);
      ++refusals[op][reason];
      ++refused_by_operator[op];
    }
    if (result.outcome == Outcome::Failed) {
      std::cout << "FAILED " << result.name << ": " << result.message << '\n';
      ok = false;
    }
    const bool passed =
        result.outcome == Outcome::Passed || result.outcome == Outcome::PassedAdapted;
    if (expected.contains(result.name) && !passed) {
      std::cout << "EXPECTED TO PASS " << result.name << ": " << result.message << '\n';
      ok = false;
    }
    if (passed) {
      std::cout << "passed " << result.name
                << (result.outcome == Outcome::PassedAdapted ? " (" + result.message + ")" : "")
                << (expected.contains(result.name) ? "" : " [not in the expected list]") << '\n';
    }
  }
  std::cout << '\n'
            << results.size() << " cases: " << counts[Outcome::Passed] << " pass as they are, "
            << counts[Outcome::PassedAdapted]
            << " pass with constant inputs or dropped statistics, " << counts[Outcome::Refused]
            << " refused, " << counts[Outcome::Failed] << " failed\n\n"
            << "refused, by operator:\n";
  std::vector<std::pair<std::string, std::size_t>> operators(refused_by_operator.begin(),
                                                             refused_by_operator.end());
  std::stable_sort(operators.begin(), operators.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  for (const auto& [op, count] : operators) {
    std::cout << "  " << op << ": " << count << '\n';
    for (const auto& [reason, times] : refusals[op]) {
      std::cout << "      " << times << " x " << reason << '\n';
    }
  }
  return ok ? 0 : 1;
}
