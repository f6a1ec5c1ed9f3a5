// Bytes as a schedule JSON file, read and then verified against the default encoder: a hostile
// schedule must end in a diagnostic, never in a crash, a hang or a throw. A schedule that reads
// must also write back to the text that reads to it again.

#include "finding.hpp"

#include "schedule_io/schedule_json.hpp"
#include "schedule_io/schedule_reader.hpp"

#include <orvik_compiler/orvik_compiler.hpp>

#include <cstdlib>
#include <iostream>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace orvik_compiler;
  static const Graph encoder = encoder_graph(EncoderConfig{}).value();
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const Result<Schedule> schedule = schedule_io::read_schedule_json(text, "fuzz");
  if (!schedule) {
    if (schedule.error().message.rfind("fuzz", 0) != 0) {
      finding("a diagnostic that does not name its file");
    }
    return 0;
  }
  const Result<Schedule> again =
      schedule_io::read_schedule_json(schedule_io::schedule_json(*schedule), "again");
  if (!again || !(*again == *schedule)) {
    finding("a schedule that does not read back from its own JSON");
  }
  for (const CompilerOptions& options : {CompilerOptions{}, CompilerOptions{4, 0, 0x1000}}) {
    const Result<void> verdict = verify_schedule(encoder, options, *schedule);
    if (!verdict && verdict.error().message.empty()) {
      finding("a rejected schedule without a diagnostic");
    }
  }
  return 0;
}
