// The schedule verifier: each rule once, in the order the header documents.

#include "orvik_compiler/verify_schedule.hpp"

#include "orvik_compiler/compiler.hpp"
#include "orvik_compiler/debug_text.hpp"

#include "../debug_text/record.hpp"
#include "block_size.hpp"
#include "compile.hpp"
#include "lifetimes.hpp"
#include "lower_operations.hpp"

#include <algorithm>
#include <bit>
#include <map>
#include <optional>
#include <queue>
#include <sstream>
#include <string>
#include <vector>

namespace orvik_compiler {
namespace {

using debug_text::Quoted;

/// A diagnostic under construction: values stream in as they read, names of tensors and ops
/// through `Quoted`, addresses through `Hex`.
class Diagnostic {
public:
  template <class Value>
  Diagnostic& operator<<(const Value& value) {
    text_ << value;
    return *this;
  }

  operator CompileError() const { return CompileError::graph(text_.str()); }
  operator Result<void>() const { return CompileError::graph(text_.str()); }

private:
  std::ostringstream text_;
};

struct Hex {
  std::uint64_t value;
};

std::ostream& operator<<(std::ostream& out, Hex hex) {
  return out << "0x" << std::hex << hex.value << std::dec;
}

class Verifier {
public:
  Verifier(const Graph& graph, const CompilerOptions& options, const Schedule& schedule)
      : graph_(graph), options_(options), schedule_(schedule) {}

  Result<void> run() {
    for (Result<void> (Verifier::*rule)() :
         {&Verifier::graph_and_options, &Verifier::tile_count, &Verifier::layouts,
          &Verifier::references, &Verifier::compute_phases, &Verifier::exchange_phases,
          &Verifier::allocations, &Verifier::liveness, &Verifier::no_overlaps, &Verifier::peaks}) {
      if (Result<void> kept = (this->*rule)(); !kept) {
        return kept;
      }
    }
    return {};
  }

private:
  Quoted tensor_name(TensorId id) const { return Quoted{graph_.tensors[id.index].name}; }
  Quoted op_name(OpId id) const { return Quoted{graph_.ops[id.index].name}; }

  /// "allocation 12 (tensor "q" on tile 3)".
  Diagnostic allocation(std::size_t index) const {
    const Allocation& block = schedule_.allocations[index];
    Diagnostic diagnostic;
    diagnostic << "allocation " << index << " (tensor " << tensor_name(block.tensor) << " on tile "
               << block.tile << ')';
    return diagnostic;
  }

  bool is_tile(std::uint16_t tile) const { return tile < options_.tile_count; }
  bool is_tensor(TensorId id) const { return id.index < graph_.tensors.size(); }

  Result<void> graph_and_options() {
    if (Result<void> valid = graph_.validate(); !valid) {
      return valid;
    }
    return check_options(options_);
  }

  Result<void> tile_count() {
    if (schedule_.tile_count != options_.tile_count) {
      return Diagnostic() << "the schedule is for " << schedule_.tile_count
                          << " tiles, the options for " << options_.tile_count;
    }
    return {};
  }

  Result<void> layouts() {
    if (schedule_.layouts.size() != graph_.tensors.size()) {
      return Diagnostic() << "the schedule has " << schedule_.layouts.size() << " layouts for "
                          << graph_.tensors.size() << " tensors";
    }
    std::vector<bool> named(std::size_t{options_.tile_count}, false);
    for (std::size_t i = 0; i < schedule_.layouts.size(); ++i) {
      const Layout& layout = schedule_.layouts[i];
      const Quoted tensor{graph_.tensors[i].name};
      if (layout.tensor.index != i) {
        return Diagnostic() << "layout " << i << " is for tensor " << layout.tensor.index
                            << ", not for tensor " << tensor;
      }
      if (layout.tiles.empty()) {
        return Diagnostic() << "layout " << i << " (tensor " << tensor << ") has no tiles";
      }
      for (const std::uint16_t tile : layout.tiles) {
        if (!is_tile(tile)) {
          return Diagnostic() << "layout " << i << " (tensor " << tensor << ") names tile " << tile
                              << ", past the " << options_.tile_count << "-tile target";
        }
        if (named[tile]) {
          return Diagnostic() << "layout " << i << " (tensor " << tensor << ") names tile " << tile
                              << " twice";
        }
        named[tile] = true;
      }
      for (const std::uint16_t tile : layout.tiles) {
        named[tile] = false;
      }
      if (!std::has_single_bit(layout.alignment)) {
        return Diagnostic() << "layout " << i << " (tensor " << tensor << ") has alignment "
                            << layout.alignment << ", not a power of two";
      }
    }
    return {};
  }

  Result<void> references() {
    for (std::size_t p = 0; p < schedule_.phases.size(); ++p) {
      if (const auto* compute = std::get_if<Phase::Compute>(&schedule_.phases[p].value)) {
        if (compute->op.index >= graph_.ops.size()) {
          return Diagnostic() << "phase " << p << " computes op " << compute->op.index
                              << ", which the graph does not have";
        }
        for (std::size_t c = 0; c < compute->commands.size(); ++c) {
          const KernelCommand& command = compute->commands[c];
          if (!is_tile(command.tile)) {
            return Diagnostic() << "phase " << p << " command " << c << " runs on tile "
                                << command.tile << ", past the " << options_.tile_count
                                << "-tile target";
          }
          if (!is_tensor(command.output) ||
              !std::all_of(command.inputs.begin(), command.inputs.end(),
                           [&](TensorId input) { return is_tensor(input); })) {
            return Diagnostic() << "phase " << p << " command " << c
                                << " names a tensor that the graph does not have";
          }
        }
        continue;
      }
      const auto& transfers = std::get<Phase::Exchange>(schedule_.phases[p].value).transfers;
      for (std::size_t t = 0; t < transfers.size(); ++t) {
        const Transfer& transfer = transfers[t];
        if (!is_tile(transfer.source_tile) || !is_tile(transfer.destination_tile)) {
          return Diagnostic() << "phase " << p << " transfer " << t << " goes from tile "
                              << transfer.source_tile << " to tile " << transfer.destination_tile
                              << ", past the " << options_.tile_count << "-tile target";
        }
        if (!is_tensor(transfer.tensor)) {
          return Diagnostic() << "phase " << p << " transfer " << t << " moves tensor "
                              << transfer.tensor.index << ", which the graph does not have";
        }
      }
    }
    return {};
  }

  Result<void> compute_phases() {
    std::uint64_t next_op = 0;
    for (std::size_t p = 0; p < schedule_.phases.size(); ++p) {
      const auto* compute = std::get_if<Phase::Compute>(&schedule_.phases[p].value);
      if (compute == nullptr) {
        continue;
      }
      if (compute->op.index != next_op) {
        Diagnostic diagnostic;
        diagnostic << "phase " << p << " computes op " << op_name(compute->op);
        if (next_op < graph_.ops.size()) {
          return diagnostic << " where op " << op_name(OpId{next_op}) << " comes next";
        }
        return diagnostic << " after every op has had its compute phase";
      }
      ++next_op;
      if (Result<void> kept = commands(p, *compute); !kept) {
        return kept;
      }
    }
    if (next_op < graph_.ops.size()) {
      return Diagnostic() << "op " << op_name(OpId{next_op}) << " has no compute phase";
    }
    return {};
  }

  /// Each command against the keys lowering gives, made once for the op: nothing here grows
  /// with the op's tiles beyond the commands the schedule already holds.
  Result<void> commands(std::size_t p, const Phase::Compute& compute) {
    const Op& op = graph_.ops[compute.op.index];
    const Layout& layout = schedule_.layouts[op.output.index];
    const std::size_t count = compute.commands.size();
    if (count != layout.tiles.size()) {
      return Diagnostic() << "phase " << p << " (op " << op_name(op.id) << ") has " << count
                          << " commands for " << layout.tiles.size() << " output tiles";
    }
    const std::vector<KernelCommand> lowered = first_commands(op, layout);
    const auto where = [&](std::size_t c) {
      Diagnostic diagnostic;
      diagnostic << "phase " << p << " (op " << op_name(op.id) << ") command " << c;
      return diagnostic;
    };
    for (std::size_t c = 0; c < count; ++c) {
      const KernelCommand& command = compute.commands[c];
      if (command.tile != layout.tiles[c]) {
        return where(c) << " runs on tile " << command.tile << ", not on tile " << layout.tiles[c]
                        << " of the output layout";
      }
      if (command.output != op.output || command.inputs != op.inputs) {
        return where(c) << " does not carry the op's output and inputs";
      }
      const SpecializationKey& expected =
          (c + 1 == count ? lowered.back() : lowered.front()).specialization;
      if (command.specialization.role != expected.role) {
        return where(c) << " has the role " << Quoted{command.specialization.role} << ", not "
                        << Quoted{expected.role} << "; the last command alone is the "
                        << Quoted{lowered.back().specialization.role};
      }
      if (command.specialization != expected) {
        return where(c) << " has the key " << command.specialization << ", expected " << expected;
      }
    }
    return {};
  }

  /// The commands that lowering gives the op's first two output tiles (one, when the layout
  /// has one): a command before the last and the last. A key depends on the op, the layout's
  /// alignment and whether its command is the last, never on the tile count, so these two stand
  /// for all of the op's commands without making one per tile.
  std::vector<KernelCommand> first_commands(const Op& op, const Layout& layout) const {
    const auto shown = static_cast<std::ptrdiff_t>(std::min<std::size_t>(layout.tiles.size(), 2));
    const Layout first_tiles{layout.tensor,
                             {layout.tiles.begin(), layout.tiles.begin() + shown},
                             layout.sharding,
                             layout.alignment};
    return compute_phase(graph_, op, first_tiles).commands;
  }

  Result<void> exchange_phases() {
    const auto& phases = schedule_.phases;
    for (std::size_t p = 0; p < phases.size(); ++p) {
      const auto* exchange = std::get_if<Phase::Exchange>(&phases[p].value);
      const auto* compute = std::get_if<Phase::Compute>(&phases[p].value);
      if (exchange != nullptr) {
        if (p + 1 == phases.size() ||
            !std::holds_alternative<Phase::Compute>(phases[p + 1].value)) {
          return Diagnostic() << "phase " << p
                              << " is an exchange not directly followed by a compute phase";
        }
        if (Result<void> valid = validate_transfers(exchange->transfers); !valid) {
          return Diagnostic() << "phase " << p << ": " << valid.error().message;
        }
        continue;
      }
      const Op& op = graph_.ops[compute->op.index];
      const Result<std::vector<Transfer>> needed = input_transfers(graph_, op, schedule_.layouts);
      if (!needed) {
        return Diagnostic() << "op " << op_name(op.id) << ": " << needed.error().message;
      }
      const auto* before = p == 0 ? nullptr : std::get_if<Phase::Exchange>(&phases[p - 1].value);
      if (before == nullptr) {
        if (!needed->empty()) {
          return Diagnostic() << "op " << op_name(op.id) << " needs " << needed->size()
                              << " transfers, but no exchange phase precedes phase " << p;
        }
        continue;
      }
      if (Result<void> same = same_transfers(p - 1, op, before->transfers, *needed); !same) {
        return same;
      }
    }
    return {};
  }

  Result<void> same_transfers(std::size_t p, const Op& op, const std::vector<Transfer>& actual,
                              const std::vector<Transfer>& needed) const {
    const std::size_t common = std::min(actual.size(), needed.size());
    for (std::size_t t = 0; t < common; ++t) {
      if (actual[t] != needed[t]) {
        return Diagnostic() << "phase " << p << " transfer " << t << " is " << actual[t]
                            << ", but op " << op_name(op.id) << " needs " << needed[t];
      }
    }
    if (actual.size() != needed.size()) {
      return Diagnostic() << "phase " << p << " has " << actual.size() << " transfers, but op "
                          << op_name(op.id) << " needs " << needed.size();
    }
    return {};
  }

  Result<void> allocations() {
    std::size_t shares = 0;
    for (const Layout& layout : schedule_.layouts) {
      shares += layout.tiles.size();
    }
    const std::vector<Allocation>& blocks = schedule_.allocations;
    if (blocks.size() != shares) {
      return Diagnostic() << "the schedule has " << blocks.size() << " allocations for " << shares
                          << " shares";
    }
    std::size_t index = 0;
    for (std::size_t position = 0; position < graph_.tensors.size(); ++position) {
      const Tensor& tensor = graph_.tensors[position];
      const Layout& layout = schedule_.layouts[position];
      const Result<std::uint32_t> size = block_size(tensor, layout);
      if (!size) {
        return Diagnostic() << "tensor " << Quoted{tensor.name}
                            << " has shares of 2^32 bytes or more, which no tile can hold";
      }
      for (const std::uint16_t tile : layout.tiles) {
        if (Result<void> kept = allocation_rules(index++, tensor, tile, layout, *size); !kept) {
          return kept;
        }
      }
    }
    return {};
  }

  Result<void> allocation_rules(std::size_t index, const Tensor& tensor, std::uint16_t tile,
                                const Layout& layout, std::uint32_t size) const {
    const Allocation& block = schedule_.allocations[index];
    if (block.tensor != tensor.id || block.tile != tile) {
      return Diagnostic() << "allocation " << index << " is for tensor " << block.tensor.index
                          << " on tile " << block.tile << ", but the share in its place is tensor "
                          << Quoted{tensor.name} << " on tile " << tile;
    }
    if (block.size != size) {
      return allocation(index) << " has size " << block.size << ", but the share padded to "
                               << layout.alignment << " is " << size << " bytes";
    }
    const std::uint64_t end = std::uint64_t{block.address} + block.size;
    if (block.address < options_.data_base || end > options_.data_limit) {
      return allocation(index) << " at bytes " << Hex{block.address} << ".." << Hex{end}
                               << " lies outside the data window " << Hex{options_.data_base}
                               << ".." << Hex{options_.data_limit};
    }
    if (block.address != options_.data_base && block.address % layout.alignment != 0) {
      return allocation(index) << " at " << Hex{block.address} << " is neither aligned to "
                               << layout.alignment << " nor at the window base";
    }
    if (block.live_from > block.live_until) {
      return allocation(index) << " has the lifetime " << block.live_from << ".."
                               << block.live_until << ", which runs backwards";
    }
    return {};
  }

  Result<void> liveness() {
    const std::vector<Lifetime> needed = tensor_lifetimes(graph_, schedule_.phases);
    std::vector<bool> is_output(graph_.tensors.size(), false);
    for (const TensorId output : graph_.outputs) {
      is_output[output.index] = true;
    }
    for (std::size_t index = 0; index < schedule_.allocations.size(); ++index) {
      const Allocation& block = schedule_.allocations[index];
      const Lifetime& lifetime = needed[block.tensor.index];
      const bool written = graph_.tensors[block.tensor.index].producer.has_value();
      if (block.live_from > lifetime.live_from) {
        Diagnostic diagnostic = allocation(index);
        diagnostic << " becomes live at phase " << block.live_from << ", but the tensor ";
        if (written) {
          return diagnostic << "is written at phase " << lifetime.live_from;
        }
        return diagnostic << "is not written by any phase, so it must be live from phase 0";
      }
      if (block.live_until < lifetime.live_until) {
        Diagnostic diagnostic = allocation(index);
        diagnostic << " is live until phase " << block.live_until << ", but the tensor ";
        if (is_output[block.tensor.index]) {
          return diagnostic << "is a graph output, live until the phase count "
                            << lifetime.live_until;
        }
        return diagnostic << "is read at phase " << lifetime.live_until;
      }
    }
    return {};
  }

  /// One sweep per tile in order of the phase blocks become live: the blocks live at that
  /// phase are disjoint, kept by address, so a new block need only be tested against its two
  /// neighbours.
  Result<void> no_overlaps() {
    const std::vector<Allocation>& blocks = schedule_.allocations;
    std::vector<std::size_t> order(blocks.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
      order[i] = i;
    }
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      return std::tuple(blocks[a].tile, blocks[a].live_from, a) <
             std::tuple(blocks[b].tile, blocks[b].live_from, b);
    });
    using Expiry = std::pair<std::uint64_t, std::size_t>;
    std::priority_queue<Expiry, std::vector<Expiry>, std::greater<>> expiring;
    std::map<std::uint32_t, std::size_t> live_by_address;
    std::optional<std::uint16_t> tile;
    for (const std::size_t index : order) {
      const Allocation& block = blocks[index];
      if (tile != block.tile) {
        tile = block.tile;
        live_by_address.clear();
        expiring = {};
      }
      while (!expiring.empty() && expiring.top().first < block.live_from) {
        live_by_address.erase(blocks[expiring.top().second].address);
        expiring.pop();
      }
      auto above = live_by_address.lower_bound(block.address);
      if (above != live_by_address.end() && overlaps(block, blocks[above->second])) {
        return overlap(index, above->second);
      }
      if (above != live_by_address.begin() && overlaps(block, blocks[std::prev(above)->second])) {
        return overlap(index, std::prev(above)->second);
      }
      live_by_address.emplace(block.address, index);
      expiring.emplace(block.live_until, index);
    }
    return {};
  }

  static bool overlaps(const Allocation& a, const Allocation& b) {
    return std::uint64_t{a.address} < std::uint64_t{b.address} + b.size &&
           std::uint64_t{b.address} < std::uint64_t{a.address} + a.size;
  }

  CompileError overlap(std::size_t index, std::size_t other) const {
    const Allocation& a = schedule_.allocations[index];
    const Allocation& b = schedule_.allocations[other];
    const std::uint64_t first_byte = std::max(a.address, b.address);
    const std::uint64_t end =
        std::min(std::uint64_t{a.address} + a.size, std::uint64_t{b.address} + b.size);
    return allocation(index) << " overlaps allocation " << other << " (tensor "
                             << tensor_name(b.tensor) << ") at bytes " << Hex{first_byte} << ".."
                             << Hex{end} << " during phases " << std::max(a.live_from, b.live_from)
                             << ".." << std::min(a.live_until, b.live_until);
  }

  Result<void> peaks() {
    const std::map<std::uint16_t, std::uint32_t> high_water =
        peak_per_tile(schedule_.allocations, options_);
    for (const auto& [tile, peak] : high_water) {
      const auto entry = schedule_.peak_sram.find(tile);
      if (entry == schedule_.peak_sram.end()) {
        return Diagnostic() << "peak_sram has no entry for tile " << tile
                            << ", which holds allocations";
      }
      if (entry->second != peak) {
        return Diagnostic() << "peak_sram of tile " << tile << " is " << Hex{entry->second}
                            << ", but its highest block ends " << Hex{peak}
                            << " above the window base";
      }
    }
    for (const auto& [tile, peak] : schedule_.peak_sram) {
      if (high_water.count(tile) == 0) {
        return Diagnostic() << "peak_sram has an entry for tile " << tile
                            << ", which holds no allocation";
      }
    }
    return {};
  }

  const Graph& graph_;
  const CompilerOptions& options_;
  const Schedule& schedule_;
};

} // namespace

Result<void> verify_schedule(const Graph& graph, const CompilerOptions& options,
                             const Schedule& schedule) {
  try {
    return Verifier(graph, options, schedule).run();
  } catch (const std::overflow_error& error) {
    // A validated graph may still hold a tensor whose byte count overflows 64 bits; no
    // schedule can be sound for it.
    return CompileError::graph(std::string("the graph cannot be scheduled: ") + error.what());
  }
}

} // namespace orvik_compiler
