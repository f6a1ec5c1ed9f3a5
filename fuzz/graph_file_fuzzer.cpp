// Bytes become a graph file for the tool's reader. A file that reads must write back to a file
// that reads to the same graph and writes back to the same bytes, its schedule must pass the
// verifier, and every view of the schedule must be produced without fault and within the memory
// that the budget's estimate allows for it.

#include "finding.hpp"

#include "orvik/graph_file.hpp"
#include "orvik/report.hpp"
#include "orvik/resource_budget.hpp"
#include "orvik/views.hpp"

#include <orvik_compiler/orvik_compiler.hpp>

#include <cstdlib>
#include <iostream>
#include <sstream>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const orvik_tool::ToolResult<orvik_compiler::Graph> read =
      orvik_tool::read_graph_file(text, "fuzz.json");
  if (!read) {
    if (read.failure().message.rfind("fuzz.json", 0) != 0) {
      finding("a diagnostic that does not name its file");
    }
    return 0;
  }
  const orvik_compiler::Graph& graph = *read;

  const orvik_tool::ToolResult<std::string> written = orvik_tool::write_graph_file(graph);
  if (!written) {
    finding("a graph read from a file cannot be written back");
  }
  const orvik_tool::ToolResult<orvik_compiler::Graph> reread =
      orvik_tool::read_graph_file(*written, "again.json");
  if (!reread || *reread != graph) {
    finding("a graph written back reads as another graph");
  }
  const orvik_tool::ToolResult<std::string> rewritten = orvik_tool::write_graph_file(*reread);
  if (!rewritten || *rewritten != *written) {
    finding("a graph file written back is written again as other bytes");
  }

  const orvik_compiler::CompilerOptions options{16, 0x1000, 0x40000};
  try {
    const auto schedule = orvik_compiler::compile(graph, options);
    if (!schedule) {
      return 0;
    }
    if (const orvik_compiler::Result<void> sound =
            orvik_compiler::verify_schedule(graph, options, *schedule);
        !sound) {
      finding("schedule invariant broken: " + sound.error().message);
    }
    const orvik_tool::MemoryEstimate estimate(graph, options);
    // The estimates count each view's text twice, for the growth of its buffer.
    const auto check = [](std::uint64_t estimated, const std::string& text, const char* view) {
      if (estimated / 2 < text.size()) {
        finding(std::string("a ") + view + " longer than its estimate");
      }
    };
    std::ostringstream debug;
    debug << *schedule << '\n';
    check(estimate.debug_text(), debug.str(), "debug text");
    check(estimate.summary(), orvik_tool::summary_report(graph, options, *schedule), "summary");
    check(estimate.json(), orvik_tool::schedule_json(*schedule), "schedule JSON");
    check(estimate.trace(), orvik_tool::chrome_trace(graph, *schedule), "trace");
    check(estimate.memory_map(0), orvik_tool::memory_map_svg(graph, options, *schedule, 0),
          "memory map");
    // The report's data sits inside a script element: no name may put a "<" into it.
    const std::string page =
        orvik_tool::schedule_report_html("fuzz.json", graph, options, *schedule);
    check(estimate.report("fuzz.json"), page, "report");
    const std::string_view open = R"(<script id="report-data" type="application/json">)";
    const std::size_t first = page.find(open) + open.size();
    if (page.find('<', first) != page.find("</script>", first)) {
      finding("the report's data holds a \"<\"");
    }
  } catch (const std::overflow_error&) {
    // A shape whose byte count overflows 64 bits: a documented caller error.
  }
  return 0;
}
