// The schedule report's page, in process: one self-contained file whose data holds exactly the
// schedule, shared between tiles with equal allocations, safe whatever the names. What the page
// does with the data is tested in a browser (report.test.mjs).

#include "orvik/report.hpp"

#include "testing/encoder_stack.hpp"
#include "testing/generated_graphs.hpp"

#include <orvik_compiler/orvik_compiler.hpp>

#include <catch2/catch.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <map>
#include <set>
#include <tuple>
#include <variant>

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

/// The name of operation `o` as the page reads it: its own, or where that is left out, the name
/// of the tensor it produces.
json operation_name(const json& data, std::size_t o) {
  const json& name = data.at("operation_names").at(o);
  if (!name.is_null()) {
    return name;
  }
  const json& producers = data.at("tensors").at("producers");
  const auto output = std::find(producers.begin(), producers.end(), json(o));
  REQUIRE(output != producers.end());
  return data.at("tensors").at("names").at(static_cast<std::size_t>(output - producers.begin()));
}

/// Tensor `t` as the page reads it from the data's columns and shared tables.
json tensor_record(const json& data, std::size_t t) {
  const json& tensors = data.at("tensors");
  const std::int64_t layout = tensors.at("layout").at(t).get<std::int64_t>();
  const std::int64_t producer = tensors.at("producers").at(t).get<std::int64_t>();
  const json& blocks = tensors.at("blocks");
  json record{{"name", tensors.at("names").at(t)},
              {"kind", tensors.at("kind_names").at(tensors.at("kinds").at(t).get<std::size_t>())},
              {"shape", tensors.at("shapes").at(tensors.at("shape").at(t).get<std::size_t>())},
              {"producer", producer < 0 ? json(nullptr)
                                        : operation_name(data, static_cast<std::size_t>(producer))},
              {"block", blocks.at(3 * t) == -1 ? json(nullptr) : blocks.at(3 * t)},
              {"live", blocks.at(3 * t) == -1 ? json(nullptr)
                                              : json{blocks.at(3 * t + 1), blocks.at(3 * t + 2)}}};
  if (layout >= 0) {
    const json& entry = tensors.at("layouts").at(static_cast<std::size_t>(layout));
    record["tiles"] = entry.at(0);
    record["sharding"] = entry.at(1);
    record["alignment"] = entry.at(2);
    record["share"] = entry.at(3);
  }
  return record;
}

/// Phase `p` as the page reads it: kind, operation, kernel, tiles, transfers and bytes.
json phase_record(const json& data, std::size_t p) {
  const json& rows = data.at("phases").at("rows");
  const std::int64_t operation = rows.at(6 * p + 1).get<std::int64_t>();
  return json{{"kind", rows.at(6 * p) == 1 ? "exchange" : "compute"},
              {"operation", operation < 0
                                ? json("?")
                                : operation_name(data, static_cast<std::size_t>(operation))},
              {"kernel", data.at("phases").at("kernels").at(rows.at(6 * p + 2).get<std::size_t>())},
              {"tiles", rows.at(6 * p + 3)},
              {"transfers", rows.at(6 * p + 4)},
              {"bytes", rows.at(6 * p + 5)}};
}

/// Tiles 0 .. n-1 as the runs [first, count] of the data, expanded again.
std::vector<std::uint16_t> expand_runs(const json& runs) {
  std::vector<std::uint16_t> tiles;
  for (const json& run : runs) {
    for (std::uint16_t i = 0; i < run.at(1).get<std::uint16_t>(); ++i) {
      tiles.push_back(static_cast<std::uint16_t>(run.at(0).get<std::uint16_t>() + i));
    }
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
    REQUIRE(data.at("tensors").at("names").size() == workload.graph.tensors.size());
    REQUIRE(data.at("phases").at("rows").size() == 6 * schedule.phases.size());
    REQUIRE(data.at("peaks").size() == workload.options.tile_count);
    REQUIRE(data.at("tile_lists").size() == workload.options.tile_count);
    for (std::uint16_t tile = 0; tile < workload.options.tile_count; ++tile) {
      const auto peak = schedule.peak_sram.find(tile);
      CHECK(data.at("peaks")[tile] == (peak == schedule.peak_sram.end() ? 0 : peak->second));
    }

    const auto expected = blocks_by_tile(schedule);
    CHECK(blocks_by_tile(data) == expected);
    // One entry per distinct list, shape and layout: equal ones are shared, not repeated.
    for (const json& table : {data.at("lists"), data.at("tensors").at("shapes"),
                              data.at("tensors").at("layouts"), data.at("phases").at("kernels")}) {
      const std::set<json> distinct(table.begin(), table.end());
      CHECK(distinct.size() == table.size());
    }

    // Every tensor and phase read back through the shared tables is the graph's and the
    // schedule's.
    for (std::size_t t = 0; t < workload.graph.tensors.size(); ++t) {
      const oc::Tensor& tensor = workload.graph.tensors[t];
      const json record = tensor_record(data, t);
      INFO("tensor " << tensor.name);
      CHECK(record.at("name") == tensor.name);
      CHECK(record.at("shape") == tensor.shape);
      CHECK(expand_runs(record.at("tiles")) == schedule.layouts[t].tiles);
      CHECK(record.at("share") == oc::local_bytes(tensor, schedule.layouts[t]));
      CHECK(record.at("producer") == (tensor.producer
                                          ? json(workload.graph.ops[tensor.producer->index].name)
                                          : json(nullptr)));
    }
    for (std::size_t p = 0; p < schedule.phases.size(); ++p) {
      INFO("phase " << p);
      const json record = phase_record(data, p);
      if (const auto* compute = std::get_if<oc::Phase::Compute>(&schedule.phases[p].value)) {
        CHECK(record.at("kind") == "compute");
        CHECK(record.at("operation") == workload.graph.ops[compute->op.index].name);
        CHECK(record.at("kernel") == compute->commands.front().specialization.operation);
        CHECK(record.at("tiles") == compute->commands.size());
      } else {
        const auto& exchange = std::get<oc::Phase::Exchange>(schedule.phases[p].value);
        std::uint64_t bytes = 0;
        for (const oc::Transfer& transfer : exchange.transfers) {
          bytes += transfer.bytes;
        }
        CHECK(record.at("kind") == "exchange");
        CHECK(record.at("kernel") == "");
        CHECK(record.at("transfers") == exchange.transfers.size());
        CHECK(record.at("bytes") == bytes);
      }
    }
  }
}

TEST_CASE("a long chain's data takes a few numbers per operation", "[report]") {
  // Each GELU adds a tensor, an operation, a phase and an allocation; as objects of named
  // fields they took 287 bytes.
  constexpr std::size_t length = 10'000;
  const oc::Graph graph = oc::testing::gelu_chain(length);
  const oc::CompilerOptions options{1, 0x52000, 0xE0000};
  const oc::Schedule schedule = oc::compile(graph, options).value();
  const std::string page = schedule_report_html("chain", graph, options, schedule);
  CHECK(page.size() - report_page_bytes() < 100 * length);
  CHECK(json::parse(data_text(page)).at("tensors").at("layouts").size() == 1);
}

TEST_CASE("a tensor's entry gives its layout as runs of tiles, share, block and lifetime",
          "[report]") {
  oc::Graph graph;
  const oc::TensorId x = graph.input("x", {4, 8});
  const oc::TensorId w = graph.weight("w", {8, 600});
  const oc::TensorId y = graph.matmul("y", x, w).value();
  graph.mark_output(y);
  // An operation named otherwise than its output, as a graph assembled from records may have.
  graph.ops[0].name = "product";
  const oc::CompilerOptions options{8, 0x1000, 0x40000};
  oc::Schedule schedule = oc::compile(graph, options).value();
  // A layout given directly may name any tiles; runs of consecutive ones are kept together.
  schedule.layouts[1].tiles = {7, 0, 1, 2, 5};
  const json data = json::parse(data_text(schedule_report_html("g", graph, options, schedule)));
  const json weight = tensor_record(data, 1);
  CHECK(weight.at("name") == "w");
  CHECK(weight.at("kind") == "Weight");
  CHECK(weight.at("shape") == json{8, 600});
  CHECK(weight.at("tiles") == json{{7, 1}, {0, 3}, {5, 1}});
  CHECK(weight.at("sharding") == "Columns");
  CHECK(weight.at("share") == 3840); // 8 x 600 x 4 bytes over 5 tiles
  const json output = tensor_record(data, 2);
  CHECK(output.at("kind") == "Output");
  CHECK(output.at("producer") == "product");
  CHECK(phase_record(data, schedule.phases.size() - 1).at("operation") == "product");
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
  const json& shown = data.at("tensors").at("names");
  CHECK(shown[0] == names[0]);
  CHECK(shown[1] == "<!--");
  CHECK(shown[3] == "\"ctl\\u{1}\\u{7f}\"");
  CHECK(shown[5] == "</SCRIPT >");
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
