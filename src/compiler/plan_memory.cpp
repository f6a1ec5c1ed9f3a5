// Memory planning: lifetimes in phases and the lowest free address of every share.

#include "plan_memory.hpp"

#include "address_space.hpp"
#include "block_size.hpp"
#include "group_memory.hpp"
#include "lifetimes.hpp"
#include "tile_groups.hpp"

#include "../result_try.hpp"

#include <algorithm>
#include <exception>
#include <limits>
#include <map>
#include <optional>
#include <stdexcept>

namespace orvik_compiler {
namespace {

constexpr std::uint32_t none = std::numeric_limits<std::uint32_t>::max();

/// What the placement and the records need of each tensor, in arrays of their own, up to the
/// first tensor that ends planning by itself: a share too large for any tile, or a layout that
/// `block_size` throws for. That stop only counts when no share of an earlier tensor fails
/// first, so the error or exception waits until that is known.
struct BlockSizes {
  std::vector<std::uint32_t> size;
  std::vector<std::uint32_t> alignment;
  std::vector<TensorId> id;
  /// The shares of all tensors before the stop.
  std::size_t share_count = 0;
  /// The position of the stopping tensor, or the number of tensors when none stops.
  std::size_t stop = 0;
  std::optional<CompileError> error;
  std::exception_ptr thrown;
};

BlockSizes block_sizes(const Graph& graph, std::span<const Layout> layouts) {
  BlockSizes sizes;
  sizes.size.reserve(layouts.size());
  sizes.alignment.reserve(layouts.size());
  sizes.id.reserve(layouts.size());
  for (; sizes.stop < layouts.size(); ++sizes.stop) {
    const Tensor& tensor = graph.tensors[sizes.stop];
    const Layout& layout = layouts[sizes.stop];
    try {
      Result<std::uint32_t> size = block_size(tensor, layout);
      if (!size) {
        sizes.error = size.error();
        break;
      }
      sizes.size.push_back(*size);
    } catch (...) {
      sizes.thrown = std::current_exception();
      break;
    }
    sizes.alignment.push_back(layout.alignment);
    sizes.id.push_back(tensor.id);
    sizes.share_count += layout.tiles.size();
  }
  return sizes;
}

/// The first share of a group that cannot be placed: the `occurrence`-th share of the tensor at
/// `position` on each of the group's tiles.
struct Failure {
  std::uint32_t group = 0;
  std::size_t position = 0;
  std::uint32_t occurrence = 0;
  bool overflow = false;
};

/// What the planner knows of every tensor while it places the groups' shares.
struct PlanInputs {
  std::span<const Layout> layouts;
  const std::vector<Lifetime>& lifetimes;
  const BlockSizes& sizes;
  const CompilerOptions& options;
};

/// The earliest start among a group's shares from any one of them to the last: minima kept for
/// every 64th share from the end, each query finishing with at most 64 lifetimes.
class EarliestLater {
public:
  EarliestLater(std::span<const std::uint32_t> positions, std::span<const Lifetime> lifetimes)
      : positions_(positions), lifetimes_(lifetimes) {
    stride_minima_.assign(positions.size() / stride + 2, std::numeric_limits<std::uint64_t>::max());
    for (std::size_t share = positions.size(); share-- > 0;) {
      std::uint64_t& minimum = stride_minima_[share / stride];
      minimum = std::min({minimum, stride_minima_[share / stride + 1], start_of(share)});
    }
  }

  /// The earliest start from share `share` on; the shares from there on are still positions.
  std::uint64_t from(std::size_t share) const {
    std::uint64_t earliest = stride_minima_[share / stride + 1];
    for (std::size_t later = share; later < positions_.size() && later / stride == share / stride;
         ++later) {
      earliest = std::min(earliest, start_of(later));
    }
    return earliest;
  }

private:
  static constexpr std::size_t stride = 64;

  std::uint64_t start_of(std::size_t share) const {
    return lifetimes_[positions_[share]].live_from;
  }

  std::span<const std::uint32_t> positions_;
  std::span<const Lifetime> lifetimes_;
  std::vector<std::uint64_t> stride_minima_;
};

/// Places the shares of one group in order, replacing each share's tensor position in
/// `addresses` by its address, until a share fails or the tensors pass `last_position`.
std::optional<Failure> place_group(std::uint32_t group, const TileGroups& groups,
                                   const PlanInputs& in, std::size_t last_position,
                                   std::vector<std::uint32_t>& addresses, GroupMemory& memory) {
  const std::size_t begin = groups.share_begin[group];
  const std::size_t end = groups.share_begin[group + 1];
  const std::span<std::uint32_t> shares(addresses.data() + begin, end - begin);
  const EarliestLater earliest_later(shares, in.lifetimes);
  memory.reset(in.options.data_base);
  std::size_t previous = std::numeric_limits<std::size_t>::max();
  std::uint32_t occurrence = 0;
  for (std::size_t share = 0; share < shares.size(); ++share) {
    const std::size_t position = shares[share];
    if (position > last_position) {
      break;
    }
    occurrence = position == previous ? occurrence + 1 : 0;
    previous = position;
    const auto [live_from, live_until] = in.lifetimes[position];
    const std::uint32_t size = in.sizes.size[position];
    memory.advance(live_from);
    if (memory.due_to_forget()) {
      memory.forget_ended(earliest_later.from(share));
    }
    const std::uint64_t address =
        memory.lowest_free(size, in.sizes.alignment[position], live_from, live_until);
    if (address + size >= address_space_end || address + size > in.options.data_limit) {
      return Failure{group, position, occurrence, address + size >= address_space_end};
    }
    memory.place(PlacedBlock{static_cast<std::uint32_t>(address),
                             static_cast<std::uint32_t>(address + size), live_from, live_until});
    shares[share] = static_cast<std::uint32_t>(address);
  }
  return std::nullopt;
}

/// Places every group in turn on one memory, whose storage each group reuses and which is gone
/// before the records are written. Returns the failures at the first tensor that has any.
std::vector<Failure> place_groups(const TileGroups& groups, const PlanInputs& in,
                                  std::vector<std::uint32_t>& addresses) {
  GroupMemory memory;
  std::vector<Failure> failures;
  std::size_t last_position = in.sizes.stop;
  for (std::uint32_t group = 0; group < groups.group_count(); ++group) {
    const std::optional<Failure> failure =
        place_group(group, groups, in, last_position, addresses, memory);
    if (!failure) {
      continue;
    }
    if (failures.empty() || failure->position < last_position) {
      failures.clear();
      last_position = failure->position;
    }
    failures.push_back(*failure);
  }
  return failures;
}

/// The error of the first failing share in placement order. All `failures` are at one tensor;
/// the one whose share comes first in that tensor's layout decides, and names that tile.
CompileError first_failure(const std::vector<Failure>& failures, const TileGroups& groups,
                           const Graph& graph, std::span<const Layout> layouts) {
  const std::size_t position = failures.front().position;
  std::vector<std::uint32_t> occurrences(groups.span_start.size() - 1, 0);
  std::optional<CompileError> error;
  groups.for_each_span(position, layouts[position].tiles, [&](std::uint32_t span) {
    const std::uint32_t occurrence = occurrences[span]++;
    if (error) {
      return;
    }
    for (const Failure& failure : failures) {
      if (failure.group == groups.group_of_span[span] && failure.occurrence == occurrence) {
        error = failure.overflow
                    ? CompileError::memory("address overflow")
                    : exceeds_data_limit(static_cast<std::uint16_t>(groups.span_start[span]),
                                         graph.tensors[position]);
        return;
      }
    }
  });
  return *error;
}

/// Appends `record` once for each tile from `first` up to `end`, the tile number set.
void append_run(std::vector<Allocation>& allocations, Allocation record, std::uint32_t first,
                std::uint32_t end) {
  for (std::uint32_t tile = first; tile < end; ++tile) {
    record.tile = static_cast<std::uint16_t>(tile);
    allocations.push_back(record);
  }
}

/// Writes the allocations tensor by tensor, one run of records per span, every tile of a span
/// at its group's address, and notes each span's highest block end above the base.
PlannedMemory allocation_records(const TileGroups& groups, const PlanInputs& in,
                                 const std::vector<std::uint32_t>& addresses) {
  std::vector<Allocation> allocations;
  allocations.reserve(in.sizes.share_count);
  // Per span, its highest block end above the base, or -1 while it holds no block.
  std::vector<std::int64_t> span_peak(groups.span_start.size() - 1, -1);
  const std::uint32_t base = in.options.data_base;
  // Per group: the tensor it was last met in, where that tensor's shares begin, and where the
  // next tensor's will.
  const std::size_t group_count = groups.group_count();
  std::vector<std::uint32_t> met_at(group_count, none);
  std::vector<std::size_t> first_share(group_count, 0);
  std::vector<std::size_t> next_share(groups.share_begin.begin(), groups.share_begin.end() - 1);
  std::vector<std::uint32_t> occurrences(groups.span_start.size() - 1, 0);
  for (std::size_t position = 0; position < in.layouts.size(); ++position) {
    const std::vector<std::uint16_t>& tiles = in.layouts[position].tiles;
    const bool repeats = groups.repeats_tiles[position];
    const TensorId tensor = in.sizes.id[position];
    const std::uint32_t size = in.sizes.size[position];
    const Lifetime lifetime = in.lifetimes[position];
    groups.for_each_span(position, tiles, [&](std::uint32_t span) {
      const std::uint32_t group = groups.group_of_span[span];
      if (met_at[group] != position) {
        met_at[group] = static_cast<std::uint32_t>(position);
        first_share[group] = next_share[group];
      }
      if (groups.first_span[group] == span) {
        ++next_share[group];
      }
      const std::uint32_t occurrence = repeats ? occurrences[span]++ : 0;
      const std::uint32_t address = addresses[first_share[group] + occurrence];
      span_peak[span] = std::max<std::int64_t>(span_peak[span], address + size - base);
      append_run(allocations,
                 Allocation{tensor, 0, address, size, lifetime.live_from, lifetime.live_until},
                 groups.span_start[span], groups.span_start[span + 1]);
    });
    if (repeats) {
      groups.for_each_span(position, tiles, [&](std::uint32_t span) { occurrences[span] = 0; });
    }
  }
  // Filled in ascending tile order, each entry appended at the map's end.
  std::map<std::uint16_t, std::uint32_t> peaks;
  for (std::size_t span = 0; span < span_peak.size(); ++span) {
    if (span_peak[span] < 0) {
      continue;
    }
    for (std::uint32_t tile = groups.span_start[span]; tile < groups.span_start[span + 1]; ++tile) {
      peaks.emplace_hint(peaks.end(), static_cast<std::uint16_t>(tile),
                         static_cast<std::uint32_t>(span_peak[span]));
    }
  }
  return PlannedMemory{std::move(allocations), std::move(peaks)};
}

} // namespace

Result<std::vector<Allocation>> plan_memory(const Graph& graph, std::span<const Layout> layouts,
                                            std::span<const Phase> phases,
                                            const CompilerOptions& options) {
  if (layouts.size() != graph.tensors.size()) {
    throw std::invalid_argument("plan_memory needs one layout per tensor");
  }
  ORVIK_TRY(planned,
            plan_memory_with_peaks(graph, layouts, tensor_lifetimes(graph, phases), options));
  return std::move(planned.allocations);
}

Result<PlannedMemory> plan_memory_with_peaks(const Graph& graph, std::span<const Layout> layouts,
                                             const std::vector<Lifetime>& lifetimes,
                                             const CompilerOptions& options) {
  if (layouts.size() != graph.tensors.size() || lifetimes.size() != graph.tensors.size()) {
    throw std::invalid_argument("plan_memory needs one layout and one lifetime per tensor");
  }
  const BlockSizes sizes = block_sizes(graph, layouts);
  const std::span<const Layout> placed = layouts.first(sizes.stop);
  TileGroups groups = group_tiles(placed);
  const PlanInputs in{placed, lifetimes, sizes, options};

  // Each group in turn, on one memory whose trees are reused. The shares' tensor positions
  // become their addresses as they are placed.
  std::vector<std::uint32_t> addresses = std::move(groups.shares);
  const std::vector<Failure> failures = place_groups(groups, in, addresses);
  if (!failures.empty()) {
    return first_failure(failures, groups, graph, placed);
  }
  if (sizes.thrown) {
    std::rethrow_exception(sizes.thrown);
  }
  if (sizes.error) {
    return *sizes.error;
  }
  return allocation_records(groups, in, addresses);
}

} // namespace orvik_compiler
