#pragma once

// The schedule as JSON, for programs: every field of every record.

#include "schedule_counts.hpp"

#include <orvik_compiler/schedule.hpp>

#include <cstdint>
#include <string>

namespace orvik_compiler::schedule_io {

/// Every field of every schedule record, under the schema "orvik-schedule", version 1, printed
/// with an indent of 2 and the keys in the order of the records' fields.
std::string schedule_json(const Schedule& schedule);

/// At least the bytes of `schedule_json` for any schedule with these counts, every number at
/// its widest; 2^64 - 1 when the bound does not fit 64 bits.
std::uint64_t json_size_bound(const ScheduleCounts& counts);

} // namespace orvik_compiler::schedule_io
