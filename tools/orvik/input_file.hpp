#pragma once

// Reading a command's input whole, from a file or standard input, up to a size limit.

#include "tool_failure.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace orvik_tool {

/// The input limit that a command uses unless told otherwise: 16 MiB. The graph file of the
/// largest workload, 24 encoder layers, is 43 KB; a graph file takes up to about 40 times its
/// size in memory while it is read (a file of empty objects), so 16 MiB of it stays inside the
/// default memory budget.
constexpr std::uint64_t default_max_input_bytes = std::uint64_t{16} << 20U;

/// What messages call standard input, which the path "-" reads.
constexpr std::string_view standard_input_name = "standard input";

/// What messages call the input at `path`: the path, or "standard input" for "-".
std::string input_name(std::string_view path);

/// The whole of the file at `path`, or of standard input for "-", read until its end but never
/// more than `max_bytes` bytes and one to tell that there are more. Fails with the usage status:
/// "NAME is larger than the limit of N bytes" for a longer input (a regular file known to be
/// longer is not read at all), "cannot read NAME: REASON" for one that cannot be opened or read,
/// a directory included; NAME is the path, or "standard input".
ToolResult<std::string> read_input_file(const std::string& path, std::uint64_t max_bytes);

} // namespace orvik_tool
