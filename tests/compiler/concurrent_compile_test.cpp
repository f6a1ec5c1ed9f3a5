// Compilations on many threads at once share nothing: each gives the single-threaded result.

#include "test_support.hpp"

#include <thread>

namespace orvik_compiler {
namespace {

TEST_CASE("eight threads compiling the encoder at once get the single-threaded schedule",
          "[compile][threads]") {
  const Graph graph = testing::expect_value(encoder_graph(EncoderConfig{}));
  const Schedule expected = testing::expect_value(compile(graph, CompilerOptions{}));
  constexpr std::size_t thread_count = 8;
  constexpr std::size_t rounds = 4;
  std::vector<std::vector<Result<Schedule>>> results(thread_count);
  {
    std::vector<std::jthread> threads;
    for (std::size_t t = 0; t < thread_count; ++t) {
      threads.emplace_back([&graph, &slot = results[t]] {
        for (std::size_t round = 0; round < rounds; ++round) {
          // Each thread also builds its own graph, so the builder runs concurrently too.
          const Result<Graph> own = encoder_graph(EncoderConfig{});
          slot.push_back(compile(round % 2 == 0 ? graph : *own, CompilerOptions{}));
        }
      });
    }
  }
  for (const std::vector<Result<Schedule>>& slot : results) {
    REQUIRE(slot.size() == rounds);
    for (const Result<Schedule>& schedule : slot) {
      CHECK(schedule == Result<Schedule>(expected));
    }
  }
}

} // namespace
} // namespace orvik_compiler
