// Writes a stack of encoder layers as a graph file on standard output, so that the tool can be
// run on the large schedules of the benchmark (the report's browser tests do):
//
//   encoder_stack_graph LAYERS SEQUENCE HIDDEN HEADS FEED_FORWARD
//
// Exit status 0 on success, 2 for arguments that are not numbers, more than 1000 layers or
// dimensions that make no encoder.

#include "orvik/graph_file.hpp"
#include "testing/encoder_stack.hpp"

#include <charconv>
#include <cstdint>
#include <iostream>
#include <string_view>

int main(int argc, char** argv) {
  if (argc != 6) {
    std::cerr << "usage: encoder_stack_graph LAYERS SEQUENCE HIDDEN HEADS FEED_FORWARD\n";
    return 2;
  }
  std::uint64_t numbers[5] = {};
  for (int i = 0; i < 5; ++i) {
    const std::string_view text(argv[i + 1]);
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), numbers[i]);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
      std::cerr << "encoder_stack_graph: '" << text << "' is not a decimal number\n";
      return 2;
    }
  }
  if (numbers[0] > 1000) {
    std::cerr << "encoder_stack_graph: " << numbers[0] << " layers are more than 1000\n";
    return 2;
  }
  const orvik_compiler::Result<orvik_compiler::Graph> graph =
      orvik_compiler::testing::encoder_stack({numbers[1], numbers[2], numbers[3], numbers[4]},
                                             numbers[0]);
  if (!graph) {
    std::cerr << "encoder_stack_graph: " << graph.error().message << '\n';
    return 2;
  }
  const orvik_tool::ToolResult<std::string> file = orvik_tool::write_graph_file(*graph);
  if (!file) {
    std::cerr << file.failure().message << '\n';
    return 2;
  }
  std::cout << *file << std::flush;
  return std::cout ? 0 : 2;
}
