// The schedule report's page, in process: one self-contained file whose data holds exactly the
// schedule, shared between tiles with equal allocations, safe whatever the names. What the page
// does with the data is tested in a browser (report.test.mjs).

#include "orvik/report.hpp"

#include "testing/encoder_stack.hpp"

#include <orvik_compiler/orvik_compiler.hpp>

#include <catch2/catch.hpp>
#include <nlohmann/json.hpp>

#include <map>
#include <set>
#include <tuple>

namespace orvik_tool {
namespace {

using nlohmann::json;
namespace oc = orvik_compiler;

constexpr std::string_view data_open = R"(<script id="report-data" type="application/json">)";

/// The text between the data's opening tag and the next end tag, as a browser reads it.
std::string data_text(const std::string& page) {
  const std::size_t open = page.find(data_open);
  REQUIRE(open != std::string::npos);
  const std::size_t first = open + data_open.size();
  const std::size_t end = page.find("</script>", first);
  REQUIRE(end != std::string::npos);
  return page.substr(first, end - first);
}

using Block = std::tuple<std::int64_t, std::int64_t, std::int64_t, std::int64_t, std::int64_t>;

/// Every tile's allocations as the page reads them back from the shared lists.
std::map<std::int64_t, std::vector<Block>> blocks_by_tile(const json& data) {
  std::map<std::int64_t, std::vector<Block>> tiles;
  const json& tile_lists = data.at("tile_lists");
  for (std::size_t tile = 0; tile < tile_lists.size(); ++tile) {
    const std::int64_t list = tile_lists[tile].get<std::int64_t>();
    if (list < 0) {
      continue;
    }
    const json& numbers = data.at("lists").at(static_cast<std::size_t>(list));
    REQUIRE(numbers.size() % 5 == 0);
    for (std::size_t i = 0; i < numbers.size(); i += 5) {
      tiles[static_cast<std::int64_t>(tile)].emplace_back(
          numbers[i].get<std::int64_t>(), numbers[i + 1].get<std::int64_t>(),
          numbers[i + 2].get<std::int64_t>(), numbers[i + 3].get<std::int64_t>(),
          numbers[i + 4].get<std::int64_t>());
    }
  }
  return tiles;
}

std::map<std::int64_t, std::vector<Block>> blocks_by_tile(const oc::Schedule& schedule) {
  std::map<std::int64_t, std::vector<Block>> tiles;
  for (const oc::Allocation& a : schedule.allocations) {
    tiles[a.tile].emplace_back(static_cast<std::int64_t>(a.tensor.index), a.address, a.size,
                               static_cast<std::int64_t>(a.live_from),
                               static_cast<std::int64_t>(a.live_until));
  }
  return tiles;
}

TEST_CASE("the page holds everything inline and loads nothing", "[report]") {
  const oc::Graph graph = oc::encoder_graph({}).value();
  const oc::Schedule schedule = oc::compile(graph, {}).value();
  const std::string page = schedule_report_html("encoder", graph, {}, schedule);

  CHECK(page.rfind("<!doctype html>", 0) == 0);
  // The style sheet and the script are inlined in place of the tags that load them.
  CHECK(page.find("<style>") != std::string::npos);
  CHECK(page.find("<link rel=\"stylesheet\"") == std::string::npos);
  CHECK(page.find("<script src=") == std::string::npos);
  CHECK(page.find("http://") == page.find("http://www.w3.org/2000/svg"));
  CHECK(page.find("https://") == std::string::npos);
  CHECK(page.rfind("</html>\n") == page.size() - 8);
}

TEST_CASE("the data is the schedule, with tiles of equal allocations sharing one list",
          "[report]") {
  struct Workload {
    const char* name;
    oc::Graph graph;
    oc::CompilerOptions options;
  };
  const std::vector<Workload> workloads{
      {"default encoder", oc::encoder_graph({}).value(), {}},
      {"small encoder on 5 tiles", oc::encoder_graph({8, 16, 2, 32}).value(), {5, 0x1000, 0x9000}},
      {"3-layer stack on 300 tiles",
       oc::testing::encoder_stack({32, 64, 4, 256}, 3).value(),
       {300, 0x52000, 0xE0000}}};
  for (const Workload& workload : workloads) {
    INFO(workload.name);
    const oc::Schedule schedule = oc::compile(workload.graph, workload.options).value();
    const json data = json::parse(
        data_text(schedule_report_html("g", workload.graph, workload.options, schedule)));

    CHECK(data.at("sound") == true);
    CHECK(data.at("verdict") == "ok");
    CHECK(data.at("options").at("tile_count") == workload.options.tile_count);
    CHECK(data.at("tensors").size() == workload.graph.tensors.size());
    CHECK(data.at("phases").size() == schedule.phases.size());
    REQUIRE(data.at("peaks").size() == workload.options.tile_count);
    REQUIRE(data.at("tile_lists").size() == workload.options.tile_count);
    for (std::uint16_t tile = 0; tile < workload.options.tile_count; ++tile) {
      const auto peak = schedule.peak_sram.find(tile);
      CHECK(data.at("peaks")[tile] == (peak == schedule.peak_sram.end() ? 0 : peak->second));
    }

    const auto expected = blocks_by_tile(schedule);
    CHECK(blocks_by_tile(data) == expected);
    // One list per distinct tile: no two lists are equal, so equal tiles share theirs.
    const json& lists = data.at("lists");
    const std::set<json> distinct(lists.begin(), lists.end());
    CHECK(distinct.size() == lists.size());
  }
}

TEST_CASE("a tensor's entry gives its layout as runs of tiles, share, block and lifetime",
          "[report]") {
  oc::Graph graph;
  const oc::TensorId x = graph.input("x", {4, 8});
  const oc::TensorId w = graph.weight("w", {8, 600});
  const oc::TensorId y = graph.matmul("y", x, w).value();
  graph.mark_output(y);
  const oc::CompilerOptions options{8, 0x1000, 0x40000};
  oc::Schedule schedule = oc::compile(graph, options).value();
  // A layout given directly may name any tiles; runs of consecutive ones are kept together.
  schedule.layouts[1].tiles = {7, 0, 1, 2, 5};
  const json data = json::parse(data_text(schedule_report_html("g", graph, options, schedule)));
  const json& weight = data.at("tensors")[1];
  CHECK(weight.at("name") == "w");
  CHECK(weight.at("kind") == "Weight");
  CHECK(weight.at("shape") == json{8, 600});
  CHECK(weight.at("tiles") == json{{7, 1}, {0, 3}, {5, 1}});
  CHECK(weight.at("sharding") == "Columns");
  CHECK(weight.at("share") == 3840); // 8 x 600 x 4 bytes over 5 tiles
  const json& output = data.at("tensors")[2];
  CHECK(output.at("kind") == "Output");
  CHECK(output.at("producer") == "y");
  CHECK(output.at("live") == json{schedule.allocations.back().live_from, schedule.phases.size()});
  CHECK(output.at("block") == schedule.allocations.back().size);
  // The verdict is the verifier's, not an assumption.
  CHECK(data.at("sound") == false);
  CHECK(data.at("verdict") == oc::verify_schedule(graph, options, schedule).error().message);
}

TEST_CASE("names can neither end the data's element nor break its JSON", "[report]") {
  const std::vector<std::string> names{"</script><script>alert(1)</script>",
                                       "<!--",
                                       "a\"b\\c",
                                       std::string("ctl\x01\x7f", 5),
                                       "\xff\xfe not utf-8",
                                       "</SCRIPT >"};
  oc::Graph graph;
  for (const std::string& name : names) {
    graph.mark_output(graph.input(name, {4}));
  }
  const oc::CompilerOptions options{4, 0x1000, 0x2000};
  const oc::Schedule schedule = oc::compile(graph, options).value();
  const std::string page = schedule_report_html("</script>", graph, options, schedule);
  const std::string text = data_text(page);
  CHECK(text.find('<') == std::string::npos);
  const json data = json::parse(text);
  CHECK(data.at("name") == "</script>");
  CHECK(data.at("tensors")[0].at("name") == names[0]);
  CHECK(data.at("tensors")[1].at("name") == "<!--");
  CHECK(data.at("tensors")[3].at("name") == "\"ctl\\u{1}\\u{7f}\"");
  CHECK(data.at("tensors")[5].at("name") == "</SCRIPT >");
}

TEST_CASE("a broken schedule gets its diagnostic, not a crash", "[report]") {
  const oc::Graph graph = oc::encoder_graph({}).value();
  const oc::CompilerOptions options;
  const oc::Schedule sound = oc::compile(graph, options).value();
  struct Case {
    const char* what;
    void (*breaks)(oc::Schedule&);
  };
  const Case cases[] = {
      {"a peak changed", [](oc::Schedule& s) { s.peak_sram[0] += 16; }},
      {"an allocation past tile_count", [](oc::Schedule& s) { s.allocations[0].tile = 9999; }},
      {"a tensor id outside the graph",
       [](oc::Schedule& s) { s.allocations[0].tensor.index = 1U << 31U; }},
      {"a layout missing", [](oc::Schedule& s) { s.layouts.pop_back(); }},
      {"a layout without tiles", [](oc::Schedule& s) { s.layouts[0].tiles.clear(); }},
  };
  for (const Case& c : cases) {
    INFO(c.what);
    oc::Schedule broken = sound;
    c.breaks(broken);
    const json data = json::parse(data_text(schedule_report_html("g", graph, options, broken)));
    CHECK(data.at("sound") == false);
    CHECK(data.at("verdict") == oc::verify_schedule(graph, options, broken).error().message);
  }
  oc::Schedule foreign = sound;
  foreign.allocations[0].tensor.index = 1U << 31U;
  const json data = json::parse(data_text(schedule_report_html("g", graph, options, foreign)));
  CHECK(data.at("lists")[data.at("tile_lists")[0].get<std::size_t>()][0] == -1);
}

} // namespace
} // namespace orvik_tool
