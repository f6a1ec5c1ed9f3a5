// Schedule JSON read back: what the writer writes reads to an equal schedule, and every field
// that cannot be read is named by its path.

#include "schedule_io/schedule_json.hpp"
#include "schedule_io/schedule_reader.hpp"

#include <orvik_compiler/orvik_compiler.hpp>

#include <catch2/catch.hpp>

namespace {

namespace oc = orvik_compiler;
using oc::schedule_io::read_schedule_json;
using oc::schedule_io::schedule_json;

oc::Schedule compiled(const oc::Graph& graph, const oc::CompilerOptions& options) {
  return oc::compile(graph, options).value();
}

TEST_CASE("schedule JSON reads back to an equal schedule", "[schedule_io][reader]") {
  const oc::Graph encoder = oc::encoder_graph(oc::EncoderConfig{}).value();
  for (const oc::CompilerOptions& options :
       {oc::CompilerOptions{}, oc::CompilerOptions{1, 0x52000, 0xE0000},
        oc::CompilerOptions{300, 0, 0xFFFFFFFF}}) {
    const oc::Schedule schedule = compiled(encoder, options);
    const oc::Result<oc::Schedule> read = read_schedule_json(schedule_json(schedule), "s.json");
    REQUIRE(read);
    CHECK(*read == schedule);
  }
}

TEST_CASE("fields that cannot be read are named by their path", "[schedule_io][reader]") {
  const std::string good = schedule_json(
      compiled(oc::encoder_graph(oc::EncoderConfig{}).value(), oc::CompilerOptions{}));
  const auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    const std::size_t at = text.find(from);
    REQUIRE(at != std::string::npos);
    return text.replace(at, from.size(), to);
  };
  struct Case {
    std::string text;
    std::string message;
  };
  const std::vector<Case> cases{
      {replaced("\"tile\": 3,", "\"tile\": 70000,"),
       "s.json: error: phases[0].commands[3].tile: 70000 is not a tile number"},
      {replaced("\"tile\": 3,", "\"tile\": -3,"),
       "s.json: error: phases[0].commands[3].tile: -3 is not a tile number"},
      {replaced("\"sharding\": \"Rows\"", "\"sharding\": \"Diagonal\""),
       "s.json: error: layouts[0].sharding: \"Diagonal\" is not a sharding (Replicated, Rows, "
       "Columns or Heads)"},
      {replaced("\"kind\": \"compute\"", "\"kind\": \"idle\""),
       "s.json: error: phases[0].kind: \"idle\" is not a phase kind (exchange or compute)"},
      {replaced("\"live_from\": 0,", "\"live_from\": 0, \"lifetime\": 3,"),
       "s.json: error: allocations[0].lifetime: unknown field"},
      {replaced("\"version\": 1", "\"version\": 2"),
       "s.json: error: version: 2 is not a version this tool reads; it reads version 1"},
      {replaced("\"alignment\": 16", "\"alignment\": 4294967296"),
       "s.json: error: layouts[0].alignment: 4294967296 is not an unsigned 32-bit number"},
      {replaced("\"tile_count\": 64,", ""), "s.json: error: tile_count: missing"},
      {replaced("\"tile_count\": 64,", "\"tile_count\": 64, \"tile_count\": 64,"),
       "s.json: error: duplicate key $.tile_count"},
      {"[1, 2]", "s.json: error: $: must be an object"},
      {"{\"schema\": ", "s.json:1:12: error: syntax error while parsing value - unexpected end "
                        "of input; expected '[', '{', or a literal"},
  };
  for (const Case& c : cases) {
    INFO(c.message);
    const oc::Result<oc::Schedule> read = read_schedule_json(c.text, "s.json");
    REQUIRE_FALSE(read);
    CHECK(read.error() == oc::CompileError::graph(c.message));
  }
}

} // namespace
