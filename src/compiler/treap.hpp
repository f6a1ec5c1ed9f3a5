#pragma once

// A randomised balanced search tree over nodes kept in one array and linked by position, the
// shape shared by the memory planner's indexes. The priorities only shape the tree, never what
// a search finds, and are the same on every run.

#include "../splitmix64.hpp"

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

namespace orvik_compiler {

/// Nodes of type `Node`, which has the links `left` and `right`, a `priority`, a `key()` to order
/// by, and `static void summarize(Node& node, const Node* left, const Node* right)`, which sets
/// what the node knows of its subtree from its own fields and its children's.
template <class Node>
class Treap {
public:
  /// The position of the empty tree.
  static constexpr std::uint32_t none = 0;

  /// Forgets every node.
  void clear() {
    nodes_.resize(1);
    unused_.clear();
  }

  Node& operator[](std::uint32_t position) { return nodes_[position]; }
  const Node& operator[](std::uint32_t position) const { return nodes_[position]; }

  /// A new tree of the one node `value`.
  std::uint32_t make(const Node& value) {
    std::uint32_t position = 0;
    if (unused_.empty()) {
      if (nodes_.size() > std::numeric_limits<std::uint32_t>::max()) {
        throw std::overflow_error("plan_memory: more blocks on one tile than 32-bit links reach");
      }
      position = static_cast<std::uint32_t>(nodes_.size());
      nodes_.push_back(value);
    } else {
      position = unused_.back();
      unused_.pop_back();
      nodes_[position] = value;
    }
    Node& node = nodes_[position];
    node.left = node.right = none;
    node.priority = mixed(++made_);
    update(position);
    return position;
  }

  /// Gives every node of `tree` back for reuse.
  void release(std::uint32_t tree) {
    if (tree == none) {
      return;
    }
    release(nodes_[tree].left);
    release(nodes_[tree].right);
    unused_.push_back(tree);
  }

  /// Joins two trees, every key of `low` below every key of `high`.
  std::uint32_t join(std::uint32_t low, std::uint32_t high) {
    if (low == none || high == none) {
      return low == none ? high : low;
    }
    if (nodes_[low].priority >= nodes_[high].priority) {
      const std::uint32_t right = join(nodes_[low].right, high);
      nodes_[low].right = right;
      update(low);
      return low;
    }
    const std::uint32_t left = join(low, nodes_[high].left);
    nodes_[high].left = left;
    update(high);
    return high;
  }

  /// Splits `tree` into the nodes whose key is below `key` and the rest.
  std::pair<std::uint32_t, std::uint32_t> split(std::uint32_t tree, std::uint64_t key) {
    if (tree == none) {
      return {none, none};
    }
    if (nodes_[tree].key() < key) {
      const auto [low, high] = split(nodes_[tree].right, key);
      nodes_[tree].right = low;
      update(tree);
      return {tree, high};
    }
    const auto [low, high] = split(nodes_[tree].left, key);
    nodes_[tree].left = high;
    update(tree);
    return {low, tree};
  }

  /// Adds the single node `node` to `tree`.
  std::uint32_t insert(std::uint32_t tree, std::uint32_t node) {
    if (tree == none) {
      return node;
    }
    if (nodes_[node].priority > nodes_[tree].priority) {
      const auto [low, high] = split(tree, nodes_[node].key());
      nodes_[node].left = low;
      nodes_[node].right = high;
      update(node);
      return node;
    }
    if (nodes_[node].key() < nodes_[tree].key()) {
      const std::uint32_t left = insert(nodes_[tree].left, node);
      nodes_[tree].left = left;
    } else {
      const std::uint32_t right = insert(nodes_[tree].right, node);
      nodes_[tree].right = right;
    }
    update(tree);
    return tree;
  }

  /// Recomputes what `position` knows of its subtree.
  void update(std::uint32_t position) {
    Node& node = nodes_[position];
    Node::summarize(node, node.left == none ? nullptr : &nodes_[node.left],
                    node.right == none ? nullptr : &nodes_[node.right]);
  }

private:
  /// The high half of SplitMix64's `counter`-th value: well mixed, the same on every run.
  static std::uint32_t mixed(std::uint64_t counter) {
    return static_cast<std::uint32_t>(splitmix64_mix(counter * splitmix64_increment) >> 32U);
  }

  std::vector<Node> nodes_{Node{}};
  std::vector<std::uint32_t> unused_;
  std::uint64_t made_ = 0;
};

} // namespace orvik_compiler
