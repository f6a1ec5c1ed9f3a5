// The import benchmark: a model of 12 full-size encoder layers (sequence 128, hidden 768,
// feed-forward 3072; about 340 MB of weights) is generated into a temporary directory, or a model
// file is named with `--model=PATH` (such as the BERT-base that bench/export_bert_base.py
// exports), then imported by `import_onnx` and, for comparison, parsed by protobuf alone, the
// floor for any importer that reads the same file. The imported model is then compiled for 1472
// tiles (against a deep copy of its schedule) and evaluated on the host (on spread input
// values), the figures bench/onnxruntime_layer.mjs compares with ONNX Runtime. Ends with the
// ratios of time and of peak heap.

#include "heap_counter.hpp"
#include "testing/onnx/encoder_model.hpp"

#include <orvik_compiler/onnx.hpp>
#include <orvik_compiler/orvik_compiler.hpp>

#include <benchmark/benchmark.h>
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <limits>
#include <map>
#include <optional>
#include <string_view>
#include <unistd.h>

namespace orvik_compiler::bench {
namespace {

namespace fs = std::filesystem;

bool parse(const fs::path& file, onnx::ModelProto& model);

/// The model file to import: one named on the command line, or one generated into a directory
/// of its own, removed with it.
class BenchModel {
public:
  /// Generates the 12-layer encoder.
  BenchModel() {
    std::string pattern = (fs::temp_directory_path() / "orvik-onnx-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("cannot make a temporary directory");
    }
    directory_ = pattern;
    file_ = *directory_ / "encoder12.onnx";
    name_ = "encoder12";
    const EncoderConfig config{128, 768, 12, 3072};
    const std::uint64_t layers = 12;
    testing::encoder_model(config, layers, testing::NormForm::WrittenOut).save(file_);
    const std::uint64_t h = config.hidden;
    weight_bytes_ = layers * (4 * h * h + 2 * h * config.feed_forward) * sizeof(float);
  }
  /// A model file given by the user; its weights' bytes are those of its initializers.
  explicit BenchModel(fs::path file) : file_(std::move(file)), name_(file_.stem().string()) {
    onnx::ModelProto model;
    if (!parse(file_, model)) {
      throw std::runtime_error("protobuf cannot parse " + file_.string());
    }
    for (const onnx::TensorProto& initializer : model.graph().initializer()) {
      weight_bytes_ += initializer.raw_data().size() +
                       static_cast<std::uint64_t>(initializer.float_data_size()) * sizeof(float);
    }
  }
  BenchModel(const BenchModel&) = delete;
  BenchModel& operator=(const BenchModel&) = delete;
  ~BenchModel() {
    if (directory_) {
      fs::remove_all(*directory_);
    }
  }

  const fs::path& file() const { return file_; }
  const std::string& name() const { return name_; }
  /// The bytes of the model's weights.
  std::uint64_t weight_bytes() const { return weight_bytes_; }

private:
  std::optional<fs::path> directory_;
  fs::path file_;
  std::string name_;
  std::uint64_t weight_bytes_ = 0;
};

/// Reads and parses the file as protobuf does with nothing else to do: from a file stream in
/// blocks of 1 MiB, as `import_onnx` reads it.
bool parse(const fs::path& file, onnx::ModelProto& model) {
  const int descriptor = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) {
    return false;
  }
  bool parsed = false;
  {
    google::protobuf::io::FileInputStream stream(descriptor, 1 << 20);
    google::protobuf::io::CodedInputStream coded(&stream);
    coded.SetTotalBytesLimit(std::numeric_limits<int>::max());
    parsed = model.ParseFromCodedStream(&coded);
  }
  ::close(descriptor);
  return parsed;
}

void count_peak(benchmark::State& state, std::size_t before) {
  state.counters["peak_bytes"] =
      benchmark::Counter(static_cast<double>(heap_usage().peak - before),
                         benchmark::Counter::kDefaults, benchmark::Counter::kIs1024);
}

void parse_benchmark(benchmark::State& state, const BenchModel& source) {
  for (auto _ : state) {
    onnx::ModelProto model;
    if (!parse(source.file(), model)) {
      state.SkipWithError("protobuf cannot parse the model");
      return;
    }
    benchmark::DoNotOptimize(model);
  }
  const std::size_t before = heap_usage().in_use;
  reset_heap_peak();
  {
    onnx::ModelProto model;
    benchmark::DoNotOptimize(parse(source.file(), model));
  }
  count_peak(state, before);
}

void import_benchmark(benchmark::State& state, const BenchModel& source) {
  for (auto _ : state) {
    Result<OnnxModel> model = import_onnx(source.file(), {});
    if (!model) {
      state.SkipWithError(model.error().message.c_str());
      return;
    }
    benchmark::DoNotOptimize(model);
  }
  const std::size_t before = heap_usage().in_use;
  reset_heap_peak();
  {
    const Result<OnnxModel> model = import_onnx(source.file(), {});
    benchmark::DoNotOptimize(model);
  }
  count_peak(state, before);
  state.counters["weight_bytes"] =
      benchmark::Counter(static_cast<double>(source.weight_bytes()), benchmark::Counter::kDefaults,
                         benchmark::Counter::kIs1024);
}

/// The model as imported, with values for its inputs and the schedule it compiles to.
struct Prepared {
  OnnxModel model;
  std::vector<std::vector<float>> inputs;
  std::vector<TensorValue> bindings;
  std::optional<Result<Schedule>> schedule;
};

/// Imports the model, binds spread values to its F32 inputs (an I32 input leaves the
/// evaluation out) and compiles it for 1472 tiles.
std::optional<Prepared> prepare_model(const BenchModel& source) {
  Result<OnnxModel> imported = import_onnx(source.file(), {});
  if (!imported) {
    std::cerr << "cannot import: " << imported.error().message << '\n';
    return std::nullopt;
  }
  Prepared prepared{std::move(imported).value(), {}, {}, std::nullopt};
  const Graph& graph = prepared.model.graph;
  const auto bound_input = [](const Tensor& tensor) {
    return tensor.kind == TensorKind::Input && tensor.dtype == DType::F32;
  };
  for (const Tensor& tensor : graph.tensors) {
    if (!bound_input(tensor)) {
      continue;
    }
    const std::uint64_t count = tensor.elements();
    std::vector<float> values(count);
    for (std::uint64_t i = 0; i < count; ++i) {
      values[i] = static_cast<float>((i * 7919U) % 4001U) / 1000.0F - 2.0F;
    }
    prepared.inputs.push_back(std::move(values));
  }
  std::size_t next = 0;
  for (const Tensor& tensor : graph.tensors) {
    if (bound_input(tensor)) {
      prepared.bindings.push_back({tensor.id, std::span<const float>(prepared.inputs[next++])});
    }
  }
  for (const WeightValues& weight : prepared.model.weights) {
    prepared.bindings.push_back(weight.binding());
  }
  prepared.schedule = compile(graph, CompilerOptions{1472, 0x52000, 0xE0000});
  return prepared;
}

/// The prepared model, made when a case first needs it: the parse and import cases run before,
/// so that the imported model's 340 MB are not held while they allocate theirs.
class LazyModel {
public:
  explicit LazyModel(const BenchModel& source) : source_(source) {}
  /// The prepared model, or nothing when the import failed.
  const Prepared* get() {
    if (!tried_) {
      tried_ = true;
      prepared_ = prepare_model(source_);
    }
    return prepared_ ? &*prepared_ : nullptr;
  }

private:
  const BenchModel& source_;
  bool tried_ = false;
  std::optional<Prepared> prepared_;
};

void evaluate_benchmark(benchmark::State& state, const Prepared& prepared) {
  for (auto _ : state) {
    Result<std::vector<TensorData>> outputs =
        evaluate_typed(prepared.model.graph, prepared.bindings);
    if (!outputs) {
      state.SkipWithError(outputs.error().message.c_str());
      return;
    }
    benchmark::DoNotOptimize(outputs);
  }
}

void compile_benchmark(benchmark::State& state, const Prepared& prepared) {
  if (!*prepared.schedule) {
    state.SkipWithError(prepared.schedule->error().message.c_str());
    return;
  }
  for (auto _ : state) {
    Result<Schedule> schedule =
        compile(prepared.model.graph, CompilerOptions{1472, 0x52000, 0xE0000});
    benchmark::DoNotOptimize(schedule);
  }
}

void copy_benchmark(benchmark::State& state, const Prepared& prepared) {
  if (!*prepared.schedule) {
    state.SkipWithError(prepared.schedule->error().message.c_str());
    return;
  }
  for (auto _ : state) {
    Schedule copy = prepared.schedule->value();
    benchmark::DoNotOptimize(copy);
  }
}

/// The console report, then the time of the import over the parse and the heap it needs beyond
/// the parse's, in units of the weights' bytes.
class RatioReporter : public benchmark::ConsoleReporter {
public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred ||
          (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median")) {
        continue;
      }
      const std::string name = run.benchmark_name();
      Figures* found = name.starts_with("import/")    ? &import_
                       : name.starts_with("parse/")   ? &parse_
                       : name.starts_with("compile/") ? &compile_
                       : name.starts_with("copy/")    ? &copy_
                                                      : nullptr;
      if (found == nullptr) {
        continue;
      }
      Figures& figures = *found;
      figures.seconds = run.GetAdjustedRealTime();
      figures.cpu_seconds = run.GetAdjustedCPUTime();
      if (const auto peak = run.counters.find("peak_bytes"); peak != run.counters.end()) {
        figures.peak = peak->second.value;
      }
      if (const auto weights = run.counters.find("weight_bytes"); weights != run.counters.end()) {
        weight_bytes_ = weights->second.value;
      }
    }
  }

  void Finalize() override {
    std::ostream& out = GetOutputStream();
    out << std::setprecision(3);
    if (import_.seconds && parse_.seconds && import_.cpu_seconds && parse_.cpu_seconds &&
        import_.peak && parse_.peak) {
      out << "\nimport / protobuf parse time: " << *import_.seconds / *parse_.seconds
          << " (target at most 1.5); in processor time: "
          << *import_.cpu_seconds / *parse_.cpu_seconds << '\n'
          << "import peak heap beyond the parse's, in weight bytes: "
          << (*import_.peak - *parse_.peak) / weight_bytes_ << " (target at most 1)\n";
    }
    if (compile_.seconds && copy_.seconds && compile_.cpu_seconds && copy_.cpu_seconds) {
      out << "compile for 1472 tiles / copy of the schedule: " << *compile_.seconds / *copy_.seconds
          << " (target at most 1.5); in processor time: "
          << *compile_.cpu_seconds / *copy_.cpu_seconds << '\n';
    }
  }

private:
  struct Figures {
    std::optional<double> seconds;
    std::optional<double> cpu_seconds;
    std::optional<double> peak;
  };
  Figures import_;
  Figures parse_;
  Figures compile_;
  Figures copy_;
  double weight_bytes_ = 1;
};

} // namespace
} // namespace orvik_compiler::bench

int main(int argc, char** argv) {
  using namespace orvik_compiler::bench;
  // `--model=PATH` is this benchmark's own flag; the rest are the benchmark library's.
  std::optional<fs::path> given;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    constexpr std::string_view flag = "--model=";
    if (std::string_view(argv[i]).starts_with(flag)) {
      given = fs::path(argv[i] + flag.size());
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  if (!given) {
    std::cerr << "generating the 12-layer encoder model\n";
  }
  const BenchModel model = given ? BenchModel(*given) : BenchModel();
  std::cerr << model.file().string() << ": " << fs::file_size(model.file()) << " bytes\n";
  benchmark::RegisterBenchmark(("parse/" + model.name()).c_str(), parse_benchmark, std::cref(model))
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::RegisterBenchmark(("import/" + model.name()).c_str(), import_benchmark,
                               std::cref(model))
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  LazyModel prepared(model);
  const std::pair<const char*, void (*)(benchmark::State&, const Prepared&)> cases[] = {
      {"evaluate/", evaluate_benchmark},
      {"compile/", compile_benchmark},
      {"copy/", copy_benchmark}};
  for (const auto& entry : cases) {
    const auto function = entry.second;
    benchmark::RegisterBenchmark((entry.first + model.name()).c_str(),
                                 [&prepared, function](benchmark::State& state) {
                                   if (const Prepared* ready = prepared.get()) {
                                     function(state, *ready);
                                   } else {
                                     state.SkipWithError("the model does not import");
                                   }
                                 })
        ->Unit(benchmark::kMillisecond);
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
