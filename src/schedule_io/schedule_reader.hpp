#pragma once

// Reading a schedule back from the JSON that `schedule_json` writes.

#include <orvik_compiler/result.hpp>
#include <orvik_compiler/schedule.hpp>

#include <string_view>

namespace orvik_compiler::schedule_io {

/// The schedule of a document in the schema "orvik-schedule", version 1: every record and field
/// as `schedule_json` writes them, so that its text reads back to an equal schedule. The reading
/// is strict and fails with a `CompileError::Graph` whose message is the whole diagnostic:
/// "FILE:LINE:COL: error: ..." for text that is not JSON (or nests deeper than a schedule does),
/// and "FILE: error: PATH: ..." for a field that is missing, unknown, of the wrong type or out of
/// its range, PATH the field's JSON path, for example "phases[3].commands[0].tile: 70000 is not a
/// tile number". Whether the schedule keeps its promises is `verify_schedule`'s business, not
/// the reader's.
Result<Schedule> read_schedule_json(std::string_view text, std::string_view file);

} // namespace orvik_compiler::schedule_io
