// The verifier and the exchange check on hostile inputs: memory held to what the input already
// holds, and time that no choice of keys can stretch. Its own executable, since it replaces the
// global allocation functions to count the bytes live.

#include "test_support.hpp"

#include "splitmix64.hpp"
#include "splitmix64_inverse.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <limits>
#include <new>
#include <random>

namespace {

/// Bytes live through `operator new`, and a ceiling past which it throws `std::bad_alloc`.
std::atomic<std::uint64_t> live_bytes{0};
std::atomic<std::uint64_t> live_bytes_ceiling{~std::uint64_t{0}};

/// Every block carries its size in front, so that deletion can count it off.
constexpr std::size_t header_bytes = __STDCPP_DEFAULT_NEW_ALIGNMENT__;

void* counted_allocation(std::size_t size) {
  if (size > std::numeric_limits<std::size_t>::max() - header_bytes) {
    throw std::bad_alloc();
  }
  const std::uint64_t live = live_bytes.fetch_add(size) + size;
  if (live > live_bytes_ceiling.load()) {
    live_bytes.fetch_sub(size);
    throw std::bad_alloc();
  }
  void* block = std::malloc(size + header_bytes);
  if (block == nullptr) {
    live_bytes.fetch_sub(size);
    throw std::bad_alloc();
  }
  *static_cast<std::size_t*>(block) = size;
  return static_cast<char*>(block) + header_bytes;
}

void counted_release(void* pointer) noexcept {
  if (pointer == nullptr) {
    return;
  }
  void* block = static_cast<char*>(pointer) - header_bytes;
  live_bytes.fetch_sub(*static_cast<std::size_t*>(block));
  std::free(block);
}

} // namespace

// Every replaceable form but the aligned ones, which pair among themselves: a form left to the
// runtime may come from an allocator other than `counted_release`'s (a sanitizer's, say).
void* operator new(std::size_t size) {
  return counted_allocation(size);
}
void* operator new[](std::size_t size) {
  return counted_allocation(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return counted_allocation(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& nothrow) noexcept {
  return operator new(size, nothrow);
}
void operator delete(void* pointer) noexcept {
  counted_release(pointer);
}
void operator delete[](void* pointer) noexcept {
  counted_release(pointer);
}
void operator delete(void* pointer, std::size_t) noexcept {
  counted_release(pointer);
}
void operator delete[](void* pointer, std::size_t) noexcept {
  counted_release(pointer);
}
void operator delete(void* pointer, const std::nothrow_t&) noexcept {
  counted_release(pointer);
}
void operator delete[](void* pointer, const std::nothrow_t&) noexcept {
  counted_release(pointer);
}

namespace orvik_compiler {
namespace {

using testing::broken_rule;
using testing::splitmix64_unmix;

/// Allocation past `extra` more bytes than are live now throws, until the guard ends.
class LiveBytesCeiling {
public:
  explicit LiveBytesCeiling(std::uint64_t extra) { live_bytes_ceiling = live_bytes + extra; }
  ~LiveBytesCeiling() { live_bytes_ceiling = ~std::uint64_t{0}; }
  LiveBytesCeiling(const LiveBytesCeiling&) = delete;
  LiveBytesCeiling& operator=(const LiveBytesCeiling&) = delete;
};

TEST_CASE("the verifier checks a wide op without a copy of its shape per tile", "[bounds]") {
  // One element-wise op on a rank-4000 tensor over 65,535 tiles, every command's key with a
  // one-axis shape: a few megabytes of schedule, where a key per tile with the op's real shape
  // would take 2 GB.
  constexpr std::uint16_t tiles = 65535;
  Graph graph;
  const TensorId x = graph.input("x", std::vector<std::uint64_t>(4000, 1));
  const TensorId y = testing::expect_value(graph.relu("y", x));
  graph.mark_output(y);
  const CompilerOptions options{tiles, 0x52000, 0xE0000};

  std::vector<std::uint16_t> all_tiles(tiles);
  for (std::uint16_t tile = 0; tile < tiles; ++tile) {
    all_tiles[tile] = tile;
  }
  Schedule schedule;
  schedule.tile_count = tiles;
  schedule.layouts = {Layout{x, all_tiles, Sharding::Rows, 16},
                      Layout{y, all_tiles, Sharding::Rows, 16}};
  Phase::Compute compute{graph.ops.front().id, {}};
  for (const std::uint16_t tile : all_tiles) {
    const bool last = tile + 1 == tiles;
    compute.commands.push_back(
        KernelCommand{tile, y, {x}, SpecializationKey{"relu", {1}, 1, last ? "tail" : "body", 16}});
  }
  schedule.phases.emplace_back(std::move(compute));

  struct Case {
    const char* what;
    std::string role;
    std::string prefix;
  };
  const std::vector<Case> cases{
      {"a key of the wrong shape", "body",
       "phase 0 (op \"y\") command 0 has the key SpecializationKey { operation: \"relu\", "
       "shape: [1], worker_count: 1, role: \"body\", alignment: 16 }, expected "
       "SpecializationKey { operation: \"relu\", shape: [1, 1, "},
      {"a role with control characters", "\x1b[2J\x1b[31mtail",
       "phase 0 (op \"y\") command 0 has the role \"\\u{1b}[2J\\u{1b}[31mtail\", not \"body\"; "
       "the last command alone is the \"tail\""},
      {"a role with a NUL", std::string("tail\0x", 6),
       "phase 0 (op \"y\") command 0 has the role \"tail\\0x\", not \"body\"; the last command "
       "alone is the \"tail\""},
  };
  for (const Case& c : cases) {
    INFO(c.what);
    Schedule changed = schedule;
    std::get<Phase::Compute>(changed.phases.front().value).commands.front().specialization.role =
        c.role;
    std::string verdict;
    {
      const LiveBytesCeiling ceiling(std::uint64_t{16} << 20U);
      verdict = broken_rule(graph, options, changed);
    }
    CHECK(verdict.rfind(c.prefix, 0) == 0);
  }
}

/// The fastest of a few runs of the exchange check, in seconds.
double fastest_check(const std::vector<Transfer>& transfers) {
  double fastest = 1e9;
  for (int run = 0; run < 5; ++run) {
    const auto start = std::chrono::steady_clock::now();
    CHECK(validate_transfers(transfers).has_value());
    fastest = std::min(
        fastest, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return fastest;
}

TEST_CASE("keys that share one bucket of the finaliser cost what random keys do", "[timing]") {
  // 2^16 sends of distinct tensors to tile 1 whose finaliser hash mix(mix(tensor) ^ tile) has
  // its low 32 bits zero, against as many random tensors: a check that hashes them with the
  // finaliser makes 2^31 probes on the first list, a sort the same work on both.
  constexpr std::size_t count = 1U << 16U;
  std::mt19937_64 rng(7);
  std::vector<Transfer> colliding;
  std::vector<Transfer> random;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t hash = std::uint64_t{i + 1} << 32U;
    colliding.push_back(Transfer{0, 1, TensorId{splitmix64_unmix(splitmix64_unmix(hash) ^ 1U)}, 4});
    random.push_back(Transfer{0, 1, TensorId{rng()}, 4});
  }
  const double colliding_seconds = fastest_check(colliding);
  const double random_seconds = fastest_check(random);
  INFO("colliding keys " << colliding_seconds << " s, random keys " << random_seconds << " s");
  CHECK(colliding_seconds < 10 * random_seconds + 0.01);
}

} // namespace
} // namespace orvik_compiler
