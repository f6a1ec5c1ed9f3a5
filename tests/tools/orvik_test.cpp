// The orvik executable as a user runs it: outputs, exit statuses, messages and files.

#include "tool_process.hpp"

#include <orvik_compiler/orvik_compiler.hpp>

#include <catch2/catch.hpp>
#include <nlohmann/json.hpp>

#include <cmath>
#include <map>
#include <sstream>

namespace {

using nlohmann::json;
using orvik_tool::testing::orvik;
using orvik_tool::testing::Run;
using orvik_tool::testing::Scratch;
using orvik_tool::testing::shell;
using orvik_tool::testing::slurp;
namespace oc = orvik_compiler;

oc::Schedule default_encoder_schedule() {
  const oc::Result<oc::Graph> graph = oc::encoder_graph(oc::EncoderConfig{});
  return oc::compile(*graph, oc::CompilerOptions{}).value();
}

std::vector<oc::TensorId> tensor_ids(const json& list) {
  std::vector<oc::TensorId> ids;
  for (const json& id : list) {
    ids.push_back(oc::TensorId{id.get<std::uint64_t>()});
  }
  return ids;
}

oc::Sharding sharding_of(const std::string& name) {
  const std::map<std::string, oc::Sharding> names{{"Replicated", oc::Sharding::Replicated},
                                                  {"Rows", oc::Sharding::Rows},
                                                  {"Columns", oc::Sharding::Columns},
                                                  {"Heads", oc::Sharding::Heads}};
  return names.at(name);
}

/// Reads a schedule back from the tool's JSON, field by field.
oc::Schedule schedule_from_json(const json& document) {
  oc::Schedule schedule;
  schedule.tile_count = document.at("tile_count").get<std::uint16_t>();
  for (const json& layout : document.at("layouts")) {
    schedule.layouts.push_back(oc::Layout{oc::TensorId{layout.at("tensor").get<std::uint64_t>()},
                                          layout.at("tiles").get<std::vector<std::uint16_t>>(),
                                          sharding_of(layout.at("sharding").get<std::string>()),
                                          layout.at("alignment").get<std::uint32_t>()});
  }
  for (const json& phase : document.at("phases")) {
    if (phase.at("kind") == "exchange") {
      oc::Phase::Exchange exchange;
      for (const json& t : phase.at("transfers")) {
        exchange.transfers.push_back(oc::Transfer{
            t.at("source_tile").get<std::uint16_t>(), t.at("destination_tile").get<std::uint16_t>(),
            oc::TensorId{t.at("tensor").get<std::uint64_t>()}, t.at("bytes").get<std::uint32_t>()});
      }
      schedule.phases.emplace_back(std::move(exchange));
      continue;
    }
    oc::Phase::Compute compute{oc::OpId{phase.at("op").get<std::uint64_t>()}, {}};
    for (const json& c : phase.at("commands")) {
      const json& key = c.at("specialization");
      compute.commands.push_back(oc::KernelCommand{
          c.at("tile").get<std::uint16_t>(), oc::TensorId{c.at("output").get<std::uint64_t>()},
          tensor_ids(c.at("inputs")),
          oc::SpecializationKey{key.at("operation").get<std::string>(),
                                key.at("shape").get<std::vector<std::uint64_t>>(),
                                key.at("worker_count").get<std::uint8_t>(),
                                key.at("role").get<std::string>(),
                                key.at("alignment").get<std::uint32_t>()}});
    }
    schedule.phases.emplace_back(std::move(compute));
  }
  for (const json& a : document.at("allocations")) {
    schedule.allocations.push_back(oc::Allocation{
        oc::TensorId{a.at("tensor").get<std::uint64_t>()}, a.at("tile").get<std::uint16_t>(),
        a.at("address").get<std::uint32_t>(), a.at("size").get<std::uint32_t>(),
        a.at("live_from").get<std::uint64_t>(), a.at("live_until").get<std::uint64_t>()});
  }
  for (const json& peak : document.at("peak_sram")) {
    schedule.peak_sram[peak.at("tile").get<std::uint16_t>()] =
        peak.at("bytes").get<std::uint32_t>();
  }
  return schedule;
}

TEST_CASE("the default encoder in all three forms", "[tool]") {
  const oc::Schedule expected = default_encoder_schedule();

  const Run summary = orvik("compile --encoder");
  CHECK(summary.status == 0);
  CHECK(summary.err.empty());
  CHECK(summary.out.find("    12  exchange  ffn_up") != std::string::npos);
  CHECK(summary.out.find("  0-7                    9216            1.58%") != std::string::npos);
  CHECK(summary.out.find("  32-63                  2048            0.35%") != std::string::npos);
  CHECK(summary.out.find("  phases        17 (15 compute, 2 exchange)") != std::string::npos);

  std::ostringstream debug;
  debug << expected << '\n';
  CHECK(orvik("compile --encoder --emit debug").out == debug.str());

  const Run json_run = orvik("compile --encoder --emit json");
  REQUIRE(json_run.status == 0);
  const json document = json::parse(json_run.out);
  CHECK(document.at("schema") == "orvik-schedule");
  CHECK(document.at("version") == 1);
  CHECK(schedule_from_json(document) == expected);
}

TEST_CASE("numbers in decimal or hexadecimal, and the encoder's dimensions", "[tool]") {
  const oc::Result<oc::Graph> graph = oc::encoder_graph({16, 32, 2, 64});
  std::ostringstream debug;
  debug << oc::compile(*graph, oc::CompilerOptions{0x10, 0x1000, 0x20000}).value() << '\n';
  CHECK(orvik("compile --encoder --sequence 16 --hidden 0x20 --heads 2 --feed-forward 64 "
              "--tiles 0x10 --data-base 4096 --data-limit 0x20000 --emit debug")
            .out == debug.str());
  CHECK(orvik("compile --encoder --heads 3").status == 1);
  CHECK(orvik("compile --encoder --heads 3").err == "orvik: error: invalid encoder dimensions\n");
}

TEST_CASE("a graph file written by the tool compiles to the encoder's schedule", "[tool]") {
  const Run written = orvik("graph --encoder");
  REQUIRE(written.status == 0);
  const Run piped = orvik("compile - --emit debug", written.out);
  CHECK(piped.status == 0);
  CHECK(piped.out == orvik("compile --encoder --emit debug").out);

  const Scratch scratch;
  CHECK(orvik("graph --encoder --hidden 32 -o '" + (scratch / "g.json").string() + "'").status ==
        0);
  CHECK(orvik("compile '" + (scratch / "g.json").string() + "' --emit debug").out ==
        orvik("compile --encoder --hidden 32 --emit debug").out);
}

TEST_CASE("bad input gets its message and exit status and writes nothing", "[tool]") {
  const Scratch scratch;
  const std::string out = "-o '" + (scratch / "out").string() + "' --trace '" +
                          (scratch / "t.json").string() + "' --memory-map '" +
                          (scratch / "m.svg").string() + "' --report '" +
                          (scratch / "r.html").string() + "'";
  struct Case {
    std::string arguments;
    std::string input;
    int status;
    std::string error_start;
  };
  const std::string steps = R"({"format": "orvik-graph", "version": 1, "steps": [)";
  const std::vector<Case> cases{
      {"compile - " + out, "{\"format\": ", 2, "standard input:1:12: error: "},
      {"compile - " + out, steps + R"({"op": "gelu", "name": "y", "input": "x"}]})", 2,
       "standard input: error: step 1 \"y\": unknown tensor \"x\""},
      {"compile - " + out, steps + R"({"op": "input", "name": "x", "shape": [4]}]})", 1,
       "orvik: error: graph has no outputs"},
      {"compile --encoder --tiles 0 " + out, "", 1, "orvik: error: invalid compiler options"},
      {"compile --encoder --data-limit 0x52010 " + out, "", 1,
       "orvik: error: tile 0 exceeds data limit allocating input"},
      {"compile '" + (scratch / "missing.json").string() + "' " + out, "", 2,
       "orvik: error: cannot read "},
      {"compile --encoder --tiles 65536 " + out, "", 2, "orvik: error: --tiles: "},
      {"compile --encoder --tiles 12x " + out, "", 2, "orvik: error: --tiles: "},
      {"compile --encoder --emit xml " + out, "", 2, "orvik: error: --emit: "},
      {"compile " + out, "", 2,
       "orvik: error: exactly 1 option from [GRAPH,--encoder] is required"},
      {"compile --encoder - " + out, "", 2,
       "orvik: error: exactly 1 option from [GRAPH,--encoder] is required"},
      {"compile - --sequence 4 " + out, "{}", 2, "orvik: error: --sequence requires --encoder"},
      {"compile --encoder --tile 70 --memory-map '" + (scratch / "m.svg").string() + "'", "", 2,
       "orvik: error: --tile 70 is not a tile of the 64-tile target"},
      {"frobnicate", "", 2, "orvik: error: unknown command frobnicate"},
      // Every command that reads standard input calls it by one name.
      {"run - -o '" + scratch.path().string() + "'", "{", 2, "standard input:1:2: error: "},
      {"verify - --encoder", "{", 2, "standard input:1:2: error: "},
      {"compile --encoder -o '" + (scratch / "out").string() + "' --trace '" +
           (scratch / "t.json").string() + "' --report '" + (scratch / "no" / "r.html").string() +
           "'",
       "", 2, "orvik: error: cannot write " + (scratch / "no" / "r.html").string()},
  };
  for (const Case& c : cases) {
    INFO(c.arguments);
    const Run run = orvik(c.arguments, c.input);
    CHECK(run.status == c.status);
    CHECK(run.err.rfind(c.error_start, 0) == 0);
    CHECK(run.out.empty());
    CHECK(scratch.entries() == 0);
  }
}

TEST_CASE("a huge graph is refused without a crash", "[tool]") {
  const std::string steps = R"({"format": "orvik-graph", "version": 1, "steps": [
    {"op": "input", "name": "x", "shape": [4294967296, 4294967296]},
    {"op": "output", "tensor": "x"}]})";
  const Run run = orvik("compile -", steps);
  CHECK(run.status == 1);
  CHECK(run.err == "orvik: error: tensor element count overflows 64 bits\n");
}

TEST_CASE("the memory picture is valid SVG and renders", "[tool]") {
  const Scratch scratch;
  const std::string svg = (scratch / "m.svg").string();
  const Run run = orvik("compile --encoder --memory-map '" + svg + "' --tile 3 -o '" +
                        (scratch / "report.txt").string() + "'");
  REQUIRE(run.status == 0);
  CHECK(run.out.empty());
  CHECK(slurp(scratch / "report.txt").rfind("Schedule of 15 operations", 0) == 0);
  const std::string picture = slurp(svg);
  CHECK(picture.find("Tile 3 data memory") != std::string::npos);
  CHECK(picture.find("peak 0x2400") != std::string::npos);
  CHECK(shell("xmllint --noout '" + svg + "'").status == 0);
  CHECK(shell("rsvg-convert '" + svg + "' -o '" + (scratch / "m.png").string() + "'").status == 0);

  // Names with markup and control characters stay well-formed XML.
  const std::string hostile = R"({"format": "orvik-graph", "version": 1, "steps": [
    {"op": "input", "name": "<a & \"b\">\u0001", "shape": [4]},
    {"op": "output", "tensor": "<a & \"b\">\u0001"}]})";
  const std::string hostile_svg = (scratch / "h.svg").string();
  REQUIRE(orvik("compile - --memory-map '" + hostile_svg + "'", hostile).status == 0);
  CHECK(shell("xmllint --noout '" + hostile_svg + "'").status == 0);
  CHECK(slurp(hostile_svg).find("&lt;a &amp; \\&quot;b\\&quot;&gt;\\u{1}") != std::string::npos);
}

TEST_CASE("the report names what was compiled", "[tool]") {
  const Scratch scratch;
  const std::string report = (scratch / "r.html").string();
  const Run encoder = orvik("compile --encoder --hidden 32 --report '" + report + "'");
  REQUIRE(encoder.status == 0);
  CHECK(encoder.out.rfind("Schedule of 15 operations", 0) == 0);
  CHECK(slurp(report).find(
            R"x("name":"built-in encoder (sequence 32, hidden 32, heads 4, feed-forward 256)")x") !=
        std::string::npos);

  const Run graph = orvik("graph --encoder");
  REQUIRE(orvik("compile - --report '" + report + "' --emit json", graph.out).status == 0);
  CHECK(slurp(report).find(R"("name":"standard input")") != std::string::npos);
}

TEST_CASE("the trace has one track per tile and no overlapping events", "[tool]") {
  const Scratch scratch;
  const std::string trace = (scratch / "t.json").string();
  REQUIRE(orvik("compile --encoder --trace '" + trace + "'").status == 0);
  const json document = json::parse(slurp(trace));
  std::map<std::int64_t, std::vector<std::pair<std::int64_t, std::int64_t>>> tracks;
  std::map<std::int64_t, std::string> names;
  std::size_t exchanges = 0;
  for (const json& event : document.at("traceEvents")) {
    const std::int64_t tid = event.at("tid").get<std::int64_t>();
    if (event.at("ph") == "M") {
      names[tid] = event.at("args").at("name").get<std::string>();
      continue;
    }
    REQUIRE(event.at("ph") == "X");
    const auto ns = [](const json& us) { return std::llround(us.get<double>() * 1000.0); };
    tracks[tid].emplace_back(ns(event.at("ts")), ns(event.at("ts")) + ns(event.at("dur")));
    CHECK(event.at("args").contains("bytes"));
    CHECK(event.at("args").contains("tensors"));
    exchanges += event.at("name") == "exchange" ? 1U : 0U;
  }
  // Tiles 32 to 63 hold shares of w1 and w2 but run no kernel and move nothing.
  CHECK(tracks.size() == 32);
  CHECK(names.size() == 32);
  CHECK(names.at(1) == "tile 0");
  CHECK(exchanges == 4 + 4 + 24 + 8); // tiles taking part in the two exchanges
  for (auto& [tid, events] : tracks) {
    std::sort(events.begin(), events.end());
    for (std::size_t i = 1; i < events.size(); ++i) {
      CHECK(events[i - 1].second <= events[i].first);
    }
  }
  CHECK(tracks.at(1).size() == 17);
}

} // namespace
