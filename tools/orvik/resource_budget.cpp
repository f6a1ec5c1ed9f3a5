// Estimates of a compile command's memory, and the budget check.

#include "resource_budget.hpp"

#include "display.hpp"
#include "report.hpp"
#include "views.hpp"

#include <orvik_compiler/compiler.hpp>

#include <algorithm>
#include <limits>

namespace orvik_tool {
namespace {

using orvik_compiler::Allocation;
using orvik_compiler::KernelCommand;
using orvik_compiler::Layout;
using orvik_compiler::Phase;
using orvik_compiler::Transfer;

/// A byte count that stops at 2^64 - 1 instead of wrapping.
struct Bytes {
  std::uint64_t value = 0;

  friend Bytes operator+(Bytes a, Bytes b) {
    constexpr std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
    return {a.value > most - b.value ? most : a.value + b.value};
  }
  friend Bytes operator*(Bytes a, Bytes b) {
    constexpr std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
    return {b.value != 0 && a.value > most / b.value ? most : a.value * b.value};
  }
  Bytes& operator+=(Bytes other) { return *this = *this + other; }
};

/// What the allocator adds to a block, as a bound.
constexpr Bytes heap_overhead{16};
/// The memory planner's working state per share: its block in its group's list, the list's
/// spare capacity, and the bookkeeping of the groups that the share's tile moves through.
constexpr Bytes planner_bytes_per_share{96};
/// Per tile: an entry of the peak table and of the table it is made from.
constexpr Bytes peak_bytes_per_tile{64};
/// Per tensor: its lifetime while memory is planned.
constexpr Bytes lifetime_bytes{16};
/// The widest rendering of a double in the trace, and of any 64-bit count.
constexpr std::uint64_t double_width = 24;
constexpr std::uint64_t count_width = 20;
/// The widest fixed-size field of the views: a sharding or a role, a kernel name, an alignment
/// or a worker count.
constexpr std::uint64_t sharding_width = 10;
constexpr std::uint64_t kernel_width = 10;
constexpr std::uint64_t alignment_width = 10;
constexpr std::uint64_t workers_width = 3;

Bytes heap(Bytes bytes) {
  return bytes + heap_overhead;
}

/// Each view's text is counted twice: a buffer that doubles as it grows holds, while it
/// copies, the old bytes and their copy.
std::uint64_t while_built(Bytes text) {
  return (text * Bytes{2}).value;
}

std::uint64_t digits(std::uint64_t value) {
  std::uint64_t count = 1;
  while (value >= 10) {
    value /= 10;
    ++count;
  }
  return count;
}

std::uint64_t json_string_bytes(std::string_view text) {
  const auto escaped =
      std::count_if(text.begin(), text.end(), [](char c) { return c == '"' || c == '\\'; });
  return text.size() + 2 + static_cast<std::uint64_t>(escaped);
}

/// A JSON string in the report's data, where every "<" is written as \u003c.
std::uint64_t report_string_bytes(std::string_view text) {
  return json_string_bytes(text) +
         5 * static_cast<std::uint64_t>(std::count(text.begin(), text.end(), '<'));
}

std::uint64_t xml_bytes(std::string_view text) {
  std::uint64_t bytes = 0;
  for (const char c : text) {
    bytes += c == '&' ? 5 : c == '<' || c == '>' ? 4 : c == '"' || c == '\'' ? 6 : 1;
  }
  return bytes;
}

} // namespace

MemoryEstimate::MemoryEstimate(const orvik_compiler::Graph& graph,
                               const orvik_compiler::CompilerOptions& options)
    : tile_count_(options.tile_count) {
  for (const orvik_compiler::Tensor& tensor : graph.tensors) {
    const std::string name = display_name(tensor.name);
    TensorCounts counts{orvik_compiler::layout_tile_count(tensor, options.tile_count),
                        tensor.shape.size(),
                        name.size(),
                        json_string_bytes(name),
                        xml_bytes(name),
                        report_string_bytes(name),
                        std::nullopt};
    if (tensor.producer && tensor.producer->index < graph.ops.size()) {
      counts.producer = static_cast<std::size_t>(tensor.producer->index);
    }
    tensors_.push_back(counts);
  }
  for (const orvik_compiler::Op& op : graph.ops) {
    OperationCounts counts;
    counts.output = static_cast<std::size_t>(op.output.index);
    const std::uint64_t output_tiles = tensors_.at(counts.output).tiles;
    for (const orvik_compiler::TensorId input : op.inputs) {
      counts.inputs.push_back(static_cast<std::size_t>(input.index));
      // Layouts are runs of tiles from 0, so an input on fewer tiles than the output is sent
      // to each tile past its own, and one on as many tiles or more is never sent.
      const std::uint64_t input_tiles = tensors_.at(counts.inputs.back()).tiles;
      counts.transfers += output_tiles > input_tiles ? output_tiles - input_tiles : 0;
    }
    for (const std::uint64_t extent : graph.tensors.at(counts.output).shape) {
      counts.shape_digits += digits(extent) + 1;
    }
    const std::string name = display_name(op.name);
    counts.display_name = name.size();
    counts.json_name = json_string_bytes(name);
    counts.report_name = report_string_bytes(name);
    operations_.push_back(std::move(counts));
  }
  tile_digits_ = digits(options.tile_count);
  tensor_digits_ = digits(graph.tensors.size());
  operation_digits_ = digits(graph.ops.size());
  phase_digits_ = digits(2 * graph.ops.size() + 1);
  address_digits_ = digits(options.data_limit);
}

std::uint64_t MemoryEstimate::schedule() const {
  Bytes bytes = peak_bytes_per_tile * Bytes{tile_count_};
  for (const TensorCounts& tensor : tensors_) {
    const Bytes tiles{tensor.tiles};
    bytes += Bytes{sizeof(Layout)} + heap(Bytes{2} * tiles) + lifetime_bytes +
             tiles * (Bytes{sizeof(Allocation)} + planner_bytes_per_share);
  }
  for (const OperationCounts& op : operations_) {
    const TensorCounts& output = tensors_[op.output];
    // Every command copies the output's shape and the operation's inputs.
    bytes += Bytes{output.tiles} *
             (Bytes{sizeof(KernelCommand)} + heap(Bytes{8} * Bytes{op.inputs.size()}) +
              heap(Bytes{8} * Bytes{output.rank}));
    if (op.transfers > 0) {
      bytes += Bytes{2} * heap(Bytes{op.transfers} * Bytes{sizeof(Transfer)});
    }
    // Up to two phases, in a list that doubles as it grows.
    bytes += Bytes{4 * sizeof(Phase)};
  }
  return bytes.value;
}

std::uint64_t MemoryEstimate::summary() const {
  std::uint64_t name_width = 9;
  Bytes rows;
  for (const OperationCounts& op : operations_) {
    name_width = std::max(name_width, std::min<std::uint64_t>(op.display_name, summary_name_width));
    rows += Bytes{op.transfers > 0 ? 2U : 1U};
  }
  // A row's other columns take up to 80 bytes, a band of tiles 52; the column heads are a row,
  // the title and the totals take 600.
  return while_built(Bytes{600} + (rows + Bytes{1}) * Bytes{80 + name_width} +
                     Bytes{52} * Bytes{tile_count_});
}

std::uint64_t MemoryEstimate::debug_text() const {
  const std::uint64_t tile = tile_digits_;
  const std::uint64_t tensor = tensor_digits_;
  Bytes text{200 + tile_count_ * (4 + tile + address_digits_)};
  for (const TensorCounts& t : tensors_) {
    text += Bytes{87 + tensor + sharding_width + alignment_width} +
            Bytes{t.tiles} * Bytes{2 + tile} +
            Bytes{t.tiles} * Bytes{89 + tensor + tile + 2 * address_digits_ + 2 * phase_digits_};
  }
  for (const OperationCounts& op : operations_) {
    const TensorCounts& output = tensors_[op.output];
    // Inputs as "TensorId(N), ", extents as "N, ".
    const std::uint64_t command = 160 + tile + tensor + kernel_width + workers_width +
                                  sharding_width + alignment_width +
                                  (12 + tensor) * op.inputs.size() + op.shape_digits + output.rank;
    text += Bytes{38 + operation_digits_} + Bytes{output.tiles} * Bytes{command};
    if (op.transfers > 0) {
      text += Bytes{28} + Bytes{op.transfers} * Bytes{77 + 2 * tile + tensor + address_digits_};
    }
  }
  return while_built(text);
}

std::uint64_t MemoryEstimate::json() const {
  const std::uint64_t tile = tile_digits_;
  const std::uint64_t tensor = tensor_digits_;
  Bytes text{200 + tile_count_ * (45 + tile + address_digits_)};
  for (const TensorCounts& t : tensors_) {
    text += Bytes{110 + tensor + sharding_width + alignment_width} +
            Bytes{t.tiles} * Bytes{10 + tile} +
            Bytes{t.tiles} * Bytes{124 + tensor + tile + 2 * address_digits_ + 2 * phase_digits_};
  }
  for (const OperationCounts& op : operations_) {
    const TensorCounts& output = tensors_[op.output];
    // Inputs and extents take a line each, indented by 12 and 14.
    const std::uint64_t command =
        290 + tile + tensor + kernel_width + workers_width + sharding_width + alignment_width +
        (14 + tensor) * op.inputs.size() + op.shape_digits + 16 * output.rank;
    text += Bytes{80 + operation_digits_} + Bytes{output.tiles} * Bytes{command};
    if (op.transfers > 0) {
      text += Bytes{68} + Bytes{op.transfers} * Bytes{122 + 2 * tile + tensor + address_digits_};
    }
  }
  return while_built(text);
}

std::uint64_t MemoryEstimate::trace() const {
  // An event's fields besides its names and tensors: 140 bytes and its numbers.
  const std::uint64_t event = 140 + tile_digits_ + 2 * double_width + phase_digits_ + count_width;
  Bytes text{64 + tile_count_ * (80 + 2 * tile_digits_)};
  for (const OperationCounts& op : operations_) {
    const TensorCounts& output = tensors_[op.output];
    Bytes tensors{output.json_name + 1};
    Bytes moved;
    for (const std::size_t input : op.inputs) {
      tensors += Bytes{tensors_[input].json_name + 1};
      if (tensors_[input].tiles < output.tiles) {
        moved += Bytes{tensors_[input].json_name + 1};
      }
    }
    // One event per tile of the output's compute phase, named and labelled by the operation;
    // one per tile of its exchange, which the output's tiles hold.
    text += Bytes{output.tiles} * (Bytes{event + 2 * op.json_name} + tensors);
    if (op.transfers > 0) {
      text += Bytes{output.tiles} * (Bytes{event + op.json_name} + moved);
    }
  }
  return while_built(text);
}

std::uint64_t MemoryEstimate::memory_map(std::uint16_t tile) const {
  // The frame, axes and ticks take 4000 bytes; a block 420, its numbers and twice its name.
  Bytes text{4000};
  for (const TensorCounts& tensor : tensors_) {
    if (tile < tensor.tiles) {
      text += Bytes{420 + 2 * tensor.xml_name + 2 * address_digits_ + 2 * phase_digits_};
    }
  }
  return while_built(text);
}

std::uint64_t MemoryEstimate::report(std::string_view name) const {
  // The verifier's working state, per allocation and per transfer, and the JSON document's
  // objects: a member takes about 96 bytes, an element of an array 32.
  constexpr std::uint64_t verifier_per_share = 64;
  constexpr std::uint64_t verifier_per_transfer = 48;
  constexpr std::uint64_t member = 96;
  constexpr std::uint64_t element = 32;
  // A share is one entry of its tile's list: five numbers, as 64-bit integers while the lists
  // are gathered, as JSON numbers in the document and as text.
  const std::uint64_t share_text = 5 + tensor_digits_ + 2 * address_digits_ + 2 * phase_digits_;
  const std::uint64_t share_memory = 2 * 5 * 8 + 5 * element + verifier_per_share;
  Bytes text{1500 + 2 * report_string_bytes(display_name(name)) +
             tile_count_ * (32 + address_digits_)};
  Bytes memory{tile_count_ * (8 * element + 64)};
  for (const TensorCounts& tensor : tensors_) {
    const std::uint64_t producer = tensor.producer ? operations_[*tensor.producer].report_name : 4;
    const std::uint64_t producer_bytes =
        tensor.producer ? operations_[*tensor.producer].display_name : 0;
    // The entry's ten members with the layout as one run of tiles, which `compile` makes.
    text += Bytes{300 + tensor.report_name + producer + 21 * tensor.rank} +
            Bytes{tensor.tiles} * Bytes{share_text};
    memory += Bytes{12 * member + element * (tensor.rank + 8) + 2 * heap_overhead.value +
                    tensor.display_name + producer_bytes} +
              Bytes{tensor.tiles} * Bytes{share_memory};
  }
  for (const OperationCounts& op : operations_) {
    const std::uint64_t phases = op.transfers > 0 ? 2 : 1;
    text += Bytes{phases * (150 + op.report_name)};
    memory += Bytes{phases * (7 * member + op.display_name)} +
              Bytes{op.transfers} * Bytes{verifier_per_transfer};
  }
  return (Bytes{2 * report_page_bytes()} + memory + text * Bytes{2}).value;
}

std::optional<ToolFailure> check_memory_budget(const std::vector<MemoryUse>& uses,
                                               std::uint64_t budget) {
  Bytes total;
  std::string parts;
  for (const MemoryUse& use : uses) {
    total += Bytes{use.bytes};
    parts += (parts.empty() ? "" : ", ") + use.what + " " + std::to_string(use.bytes);
  }
  if (total.value <= budget) {
    return std::nullopt;
  }
  return tool_error(exit_compile_error,
                    "this command needs an estimated " + std::to_string(total.value) +
                        " bytes of memory (" + parts + "), more than the budget of " +
                        std::to_string(budget) + " bytes; --memory-budget raises it");
}

} // namespace orvik_tool
