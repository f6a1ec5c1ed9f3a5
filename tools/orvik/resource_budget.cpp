// Estimates of a compile command's memory, and the budget check.

#include "resource_budget.hpp"

#include "display.hpp"
#include "report.hpp"
#include "views.hpp"

#include <algorithm>
#include <string>

namespace orvik_tool {
namespace {

using orvik_compiler::Allocation;
using orvik_compiler::KernelCommand;
using orvik_compiler::Layout;
using orvik_compiler::Phase;
using orvik_compiler::Transfer;
using orvik_compiler::schedule_io::alignment_width;
using orvik_compiler::schedule_io::kernel_width;
using orvik_compiler::schedule_io::ScheduleCounts;
using orvik_compiler::schedule_io::sharding_width;
using orvik_compiler::schedule_io::workers_width;
using Bytes = orvik_compiler::schedule_io::ByteBound;

/// What the allocator adds to a block, as a bound.
constexpr Bytes heap_overhead{16};
/// The memory planner's working state per share: its block in its group's list, the list's
/// spare capacity, and the bookkeeping of the groups that the share's tile moves through.
constexpr Bytes planner_bytes_per_share{96};
/// Per tile: an entry of the peak table and of the table it is made from.
constexpr Bytes peak_bytes_per_tile{64};
/// Per tensor: its lifetime while memory is planned.
constexpr Bytes lifetime_bytes{16};

Bytes heap(Bytes bytes) {
  return bytes + heap_overhead;
}

/// Each view's text is counted three times: a buffer that doubles as it grows holds, while it
/// moves, its old block and one of twice the size, which may be nearly twice the final text.
std::uint64_t while_built(Bytes text) {
  return (text * Bytes{3} + heap_overhead).value;
}

/// A JSON string in the report's data, where every "<" is written as \u003c.
std::uint64_t report_string_bytes(std::string_view text) {
  return json_string_bytes(text) +
         5 * static_cast<std::uint64_t>(std::count(text.begin(), text.end(), '<'));
}

} // namespace

MemoryEstimate::MemoryEstimate(const orvik_compiler::Graph& graph,
                               const orvik_compiler::CompilerOptions& options)
    : graph_(graph), counts_(orvik_compiler::schedule_io::count_schedule(graph, options)) {}

std::uint64_t MemoryEstimate::schedule() const {
  Bytes bytes = peak_bytes_per_tile * Bytes{counts_.tile_count};
  for (const ScheduleCounts::Tensor& tensor : counts_.tensors) {
    const Bytes tiles{tensor.tiles};
    bytes += Bytes{sizeof(Layout)} + heap(Bytes{2} * tiles) + lifetime_bytes +
             tiles * (Bytes{sizeof(Allocation)} + planner_bytes_per_share);
  }
  for (const ScheduleCounts::Operation& op : counts_.operations) {
    const ScheduleCounts::Tensor& output = counts_.tensors[op.output];
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
  // Beside the text, a row per phase (four strings and three numbers, the operation's name cut
  // to 40 bytes) in a list that doubles as it grows, and the set of an exchange's tiles.
  constexpr std::uint64_t row_bytes = 3 * 160 + 64;
  constexpr std::uint64_t tile_set_node = 48;
  Bytes phases;
  for (const ScheduleCounts::Operation& op : counts_.operations) {
    phases += Bytes{op.transfers > 0 ? 2U : 1U};
  }
  return (Bytes{while_built(Bytes{summary_size_bound(graph_, counts_)})} +
          phases * Bytes{row_bytes} + Bytes{counts_.tile_count} * Bytes{tile_set_node})
      .value;
}

// The debug text is the library's `operator<<` of the schedule and its records
// (src/schedule/schedule.cpp); its bound is kept here, the one view that the tool does not write.
std::uint64_t MemoryEstimate::debug_text() const {
  const std::uint64_t tile = counts_.tile_digits;
  const std::uint64_t tensor = counts_.tensor_digits;
  const std::uint64_t address = counts_.address_digits;
  Bytes text{200 + counts_.tile_count * (4 + tile + address)};
  for (const ScheduleCounts::Tensor& t : counts_.tensors) {
    text += Bytes{87 + tensor + sharding_width + alignment_width} +
            Bytes{t.tiles} * Bytes{2 + tile} +
            Bytes{t.tiles} * Bytes{89 + tensor + tile + 2 * address + 2 * counts_.phase_digits};
  }
  for (const ScheduleCounts::Operation& op : counts_.operations) {
    const ScheduleCounts::Tensor& output = counts_.tensors[op.output];
    // Inputs as "TensorId(N), ", extents as "N, ".
    const std::uint64_t command = 160 + tile + tensor + kernel_width + workers_width +
                                  sharding_width + alignment_width +
                                  (12 + tensor) * op.inputs.size() + op.shape_digits + output.rank;
    text += Bytes{38 + counts_.operation_digits} + Bytes{output.tiles} * Bytes{command};
    if (op.transfers > 0) {
      text += Bytes{28} + Bytes{op.transfers} * Bytes{77 + 2 * tile + tensor + address};
    }
  }
  return while_built(text);
}

std::uint64_t MemoryEstimate::json() const {
  return while_built(Bytes{orvik_compiler::schedule_io::json_size_bound(counts_)});
}

std::uint64_t MemoryEstimate::trace() const {
  return while_built(Bytes{trace_size_bound(graph_, counts_)});
}

std::uint64_t MemoryEstimate::memory_map(std::uint16_t tile) const {
  return while_built(Bytes{memory_map_size_bound(graph_, counts_, tile)});
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
  const std::uint64_t share_text =
      5 + counts_.tensor_digits + 2 * counts_.address_digits + 2 * counts_.phase_digits;
  const std::uint64_t share_memory = 2 * 5 * 8 + 5 * element + verifier_per_share;
  Bytes text{1500 + 2 * report_string_bytes(display_name(name)) +
             counts_.tile_count * (32 + counts_.address_digits)};
  Bytes memory{counts_.tile_count * (8 * element + 64)};
  for (std::size_t t = 0; t < counts_.tensors.size(); ++t) {
    const ScheduleCounts::Tensor& tensor = counts_.tensors[t];
    const std::string tensor_name = display_name(graph_.tensors[t].name);
    const std::optional<orvik_compiler::OpId>& producer = graph_.tensors[t].producer;
    std::uint64_t producer_text = 4;
    std::uint64_t producer_bytes = 0;
    if (producer && producer->index < graph_.ops.size()) {
      const std::string producer_name = display_name(graph_.ops[producer->index].name);
      producer_text = report_string_bytes(producer_name);
      producer_bytes = producer_name.size();
    }
    // The entry's ten members with the layout as one run of tiles, which `compile` makes.
    text += Bytes{300 + report_string_bytes(tensor_name) + producer_text + 21 * tensor.rank} +
            Bytes{tensor.tiles} * Bytes{share_text};
    memory += Bytes{12 * member + element * (tensor.rank + 8) + 2 * heap_overhead.value +
                    tensor_name.size() + producer_bytes} +
              Bytes{tensor.tiles} * Bytes{share_memory};
  }
  for (std::size_t o = 0; o < counts_.operations.size(); ++o) {
    const std::string op_name = display_name(graph_.ops[o].name);
    const std::uint64_t phases = counts_.operations[o].transfers > 0 ? 2 : 1;
    text += Bytes{phases * (150 + report_string_bytes(op_name))};
    memory += Bytes{phases * (7 * member + op_name.size())} +
              Bytes{counts_.operations[o].transfers} * Bytes{verifier_per_transfer};
  }
  return (Bytes{2 * report_page_bytes()} + memory + text * Bytes{2}).value;
}

ToolResult<void> check_memory_budget(const std::vector<MemoryUse>& uses, std::uint64_t budget) {
  Bytes total;
  std::string parts;
  for (const MemoryUse& use : uses) {
    total += Bytes{use.bytes};
    parts += (parts.empty() ? "" : ", ") + use.what + " " + std::to_string(use.bytes);
  }
  if (total.value <= budget) {
    return {};
  }
  return tool_error(exit_compile_error,
                    "this command needs an estimated " + std::to_string(total.value) +
                        " bytes of memory (" + parts + "), more than the budget of " +
                        std::to_string(budget) + " bytes; --memory-budget raises it");
}

} // namespace orvik_tool
