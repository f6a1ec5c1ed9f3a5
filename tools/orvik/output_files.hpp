#pragma once

// Writing the tool's files all or nothing.

#include "tool_failure.hpp"

#include <optional>
#include <string>
#include <vector>

namespace orvik_tool {

struct OutputFile {
  std::string path;
  std::string contents;
};

/// Writes every file to a temporary file beside its target, then renames each into place, so
/// a target is never left half written. Returns the failure, "cannot write PATH: REASON" with
/// the usage status, when a file cannot be written; the temporary files are removed then and no
/// target has been touched.
[[nodiscard]] std::optional<ToolFailure> write_all_or_nothing(const std::vector<OutputFile>& files);

} // namespace orvik_tool
