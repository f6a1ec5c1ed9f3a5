// Memory planning: lifetimes in phases and the lowest free address of every share.

#include "orvik_compiler/compiler.hpp"

#include "block_size.hpp"
#include "lifetimes.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

namespace orvik_compiler {
namespace {

/// Dense numbers 0 .. count - 1 for the tiles that the layouts name, in ascending tile order,
/// so that the per-tile tables are as long as the number of distinct tiles, whatever the tile
/// numbers are. A presence bit per tile number up to the highest one named, and the named tiles
/// below each 64-bit word, give a tile's number in constant time.
class DenseTiles {
public:
  explicit DenseTiles(std::span<const Layout> layouts) {
    for (const Layout& layout : layouts) {
      for (const std::uint16_t tile : layout.tiles) {
        const std::size_t word = tile / word_bits;
        if (word >= named_.size()) {
          named_.resize(word + 1, 0);
        }
        named_[word] |= std::uint64_t{1} << (tile % word_bits);
      }
    }
    below_.resize(named_.size(), 0);
    for (std::size_t word = 0; word < named_.size(); ++word) {
      below_[word] = count_;
      count_ += static_cast<std::size_t>(std::popcount(named_[word]));
    }
  }

  std::size_t count() const { return count_; }

  /// The dense number of a tile that some layout names.
  std::size_t operator[](std::uint16_t tile) const {
    const std::uint64_t lower_bits = (std::uint64_t{1} << (tile % word_bits)) - 1;
    return below_[tile / word_bits] +
           static_cast<std::size_t>(std::popcount(named_[tile / word_bits] & lower_bits));
  }

private:
  static constexpr std::size_t word_bits = 64;

  std::vector<std::uint64_t> named_;
  std::vector<std::size_t> below_;
  std::size_t count_ = 0;
};

/// The partition of the tiles into groups that receive the same tensors, each the same number
/// of times, in the same order: such tiles face the same placement problem.
struct TileGroups {
  /// The group of every tile, by dense number.
  std::vector<std::size_t> of_tile;
  std::size_t count = 1;
};

/// Refines the partition tensor by tensor: each occurrence of the tensor on a tile moves the
/// tile from its group to the group that the first tile of the old group to move went to, a
/// fresh one. A group made during this tensor has not moved yet, so a second occurrence moves
/// its tile once more. Tiles thus stay together exactly while their sequences agree. Linear in
/// the layouts' tiles.
///
/// For example, with tensor a on tiles [0, 1, 2, 3] and tensor b on [0, 1]: a moves all four
/// tiles from group 0 to group 1; b moves tiles 0 and 1 on to group 2, leaving 2 and 3 in
/// group 1. Tiles 0 and 1 then place both tensors alike, as do tiles 2 and 3.
TileGroups group_tiles(const Graph& graph, std::span<const Layout> layouts,
                       const DenseTiles& dense) {
  TileGroups groups{std::vector<std::size_t>(dense.count(), 0), 1};
  // Per group, one more than the position of the tensor that last split it (0 for none), and
  // the group that its moving tiles went to then.
  std::vector<std::size_t> last_split_by{0};
  std::vector<std::size_t> split_into{0};
  for (std::size_t position = 0; position < graph.tensors.size(); ++position) {
    for (const std::uint16_t tile : layouts[position].tiles) {
      std::size_t& group = groups.of_tile[dense[tile]];
      if (last_split_by[group] != position + 1) {
        last_split_by[group] = position + 1;
        split_into[group] = groups.count++;
        last_split_by.push_back(0);
        split_into.push_back(0);
      }
      group = split_into[group];
    }
  }
  return groups;
}

/// A block placed in one group's data memory, as the search reads it.
struct Block {
  std::uint32_t address = 0;
  std::uint32_t end = 0;
  std::uint64_t live_from = 0;
  std::uint64_t live_until = 0;
};

/// The placement problem of one group of tiles.
struct GroupPlan {
  /// Every block placed so far that a later share may still meet, by ascending address.
  std::vector<Block> by_address;
  /// The length of `by_address` after its last pruning.
  std::size_t pruned_size = 0;
  /// The position in `Graph::tensors` of the tensor whose shares `share_addresses` holds.
  std::optional<std::size_t> tensor;
  /// The addresses of that tensor's shares on each tile of the group, by occurrence.
  std::vector<std::uint32_t> share_addresses;
};

/// The lowest address among `base` and the multiples of `alignment` above it where `size`
/// bytes meet no block live during [live_from, live_until]; it may lie past the 32-bit range.
/// One upward sweep: a block that meets the candidate moves it to the block's aligned end,
/// which never uncovers a lower free address, and the first block that starts at or above the
/// candidate's end ends the search, since every later block starts higher still.
std::uint64_t lowest_free_address(const std::vector<Block>& by_address, std::uint64_t base,
                                  std::uint64_t size, std::uint32_t alignment,
                                  std::uint64_t live_from, std::uint64_t live_until) {
  std::uint64_t address = base;
  for (const Block& block : by_address) {
    if (block.address >= address + size) {
      break;
    }
    if (block.end > address &&
        lifetimes_overlap(live_from, live_until, block.live_from, block.live_until)) {
      address = align_up(block.end, alignment);
    }
  }
  return address;
}

/// Drops the blocks that no share still to be placed can meet: those whose lifetime ends
/// before every later share's begins. Run whenever the list has doubled since the last time,
/// it costs O(1) per block placed and keeps a long chain of short lifetimes from piling up.
void prune_expired(GroupPlan& plan, std::uint64_t earliest_live_from) {
  if (plan.by_address.size() < 2 * std::max<std::size_t>(plan.pruned_size, 8)) {
    return;
  }
  std::erase_if(plan.by_address,
                [&](const Block& block) { return block.live_until < earliest_live_from; });
  plan.pruned_size = plan.by_address.size();
}

/// For each position in `Graph::tensors`, the earliest `live_from` of the tensors from there on.
std::vector<std::uint64_t> earliest_live_from_onwards(std::span<const Lifetime> lifetimes) {
  std::vector<std::uint64_t> earliest(lifetimes.size() + 1,
                                      std::numeric_limits<std::uint64_t>::max());
  for (std::size_t position = lifetimes.size(); position-- > 0;) {
    earliest[position] = std::min(earliest[position + 1], lifetimes[position].live_from);
  }
  return earliest;
}

void insert_by_address(std::vector<Block>& by_address, const Block& block) {
  const auto position = std::upper_bound(
      by_address.begin(), by_address.end(), block.address,
      [](std::uint32_t address, const Block& placed) { return address < placed.address; });
  by_address.insert(position, block);
}

} // namespace

bool lifetimes_overlap(std::uint64_t a_start, std::uint64_t a_end, std::uint64_t b_start,
                       std::uint64_t b_end) {
  return a_start <= b_end && b_start <= a_end;
}

std::uint32_t align_u32(std::uint32_t value, std::uint32_t alignment) {
  if (alignment == 0) {
    throw std::invalid_argument("align_u32 with an alignment of 0");
  }
  const std::uint64_t aligned = align_up(value, alignment);
  if (aligned > std::numeric_limits<std::uint32_t>::max()) {
    throw std::overflow_error("align_u32 result overflows 32 bits");
  }
  return static_cast<std::uint32_t>(aligned);
}

Result<std::vector<Allocation>> plan_memory(const Graph& graph, std::span<const Layout> layouts,
                                            std::span<const Phase> phases,
                                            const CompilerOptions& options) {
  if (layouts.size() != graph.tensors.size()) {
    throw std::invalid_argument("plan_memory needs one layout per tensor");
  }
  const std::vector<Lifetime> lifetimes = tensor_lifetimes(graph, phases);
  const DenseTiles dense(layouts);
  const TileGroups groups = group_tiles(graph, layouts, dense);
  const std::vector<std::uint64_t> earliest = earliest_live_from_onwards(lifetimes);
  std::vector<GroupPlan> plans(groups.count);
  // Per tile, by dense number: the shares of the tensor being placed that it holds so far.
  std::vector<std::size_t> shares_so_far(dense.count(), 0);
  std::size_t share_count = 0;
  for (const Layout& layout : layouts) {
    share_count += layout.tiles.size();
  }
  std::vector<Allocation> allocations;
  allocations.reserve(share_count);

  for (std::size_t position = 0; position < graph.tensors.size(); ++position) {
    const Tensor& tensor = graph.tensors[position];
    const Layout& layout = layouts[position];
    const Result<std::uint32_t> size = block_size(tensor, layout);
    if (!size) {
      return size.error();
    }
    const auto [live_from, live_until] = lifetimes[position];

    for (const std::uint16_t tile : layout.tiles) {
      const std::size_t index = dense[tile];
      const std::size_t occurrence = shares_so_far[index]++;
      GroupPlan& plan = plans[groups.of_tile[index]];
      if (plan.tensor != position) {
        plan.tensor = position;
        plan.share_addresses.clear();
      }
      // The first tile of its group to reach this occurrence places the share for them all.
      if (occurrence == plan.share_addresses.size()) {
        prune_expired(plan, earliest[position]);
        const std::uint64_t address = lowest_free_address(plan.by_address, options.data_base, *size,
                                                          layout.alignment, live_from, live_until);
        if (address + *size >= address_space_end) {
          return CompileError::memory("address overflow");
        }
        if (address + *size > options.data_limit) {
          return exceeds_data_limit(tile, tensor);
        }
        const auto narrow_address = static_cast<std::uint32_t>(address);
        plan.share_addresses.push_back(narrow_address);
        insert_by_address(plan.by_address,
                          Block{narrow_address, static_cast<std::uint32_t>(address + *size),
                                live_from, live_until});
      }
      allocations.push_back(Allocation{tensor.id, tile, plan.share_addresses[occurrence], *size,
                                       live_from, live_until});
    }
    for (const std::uint16_t tile : layout.tiles) {
      shares_so_far[dense[tile]] = 0;
    }
  }
  return allocations;
}

} // namespace orvik_compiler
