#pragma once

// Writing a command's files all or nothing, without ever replacing a device, a pipe or a file
// the command reads.

#include "tool_failure.hpp"

#include <string>
#include <vector>

namespace orvik_tool {

/// One file that a command writes.
struct OutputFile {
  /// Where it goes: a path, or "-" for standard output.
  std::string path;
  std::string contents;
  /// The option that named it, for messages ("-o", "--trace"); may be empty.
  std::string option;
};

/// A file that a command reads, which no output may replace.
struct InputFile {
  /// What the file is, for messages ("graph file").
  std::string what;
  /// A path, or "-" for standard input.
  std::string path;
};

/// Writes every file, or none of them where that can be helped. How each target is written
/// depends on what its path names, links followed:
///
/// - "-", or the regular file that standard output goes to: written to standard output.
/// - A character or block device, a pipe or a socket: opened and written in place, never
///   replaced ("/dev/null" discards, a pipe's reader gets the text).
/// - A regular file, or nothing yet: written to an unnamed temporary file in the target's
///   directory (a short random name, ".orvik-XXXXXX.tmp", where the file system has no unnamed
///   files), which then replaces the target. A file that is replaced keeps its permission bits,
///   and its owner and group where the user may set them; a link keeps linking to it.
///
/// Every target is checked before anything is written: a directory, a missing directory, a
/// target or directory the user may not write, two outputs naming one file however the paths
/// are spelled, more than one output on standard output, and an output naming one of `inputs`
/// (when that is a regular file) all fail with nothing written. Then the temporary files are
/// written, then the targets written in place, then the temporary files are named and renamed
/// into place; if a rename fails, the files that earlier renames replaced are put back.
///
/// Failures have the usage status: "cannot write PATH: REASON", "cannot write standard output:
/// REASON", "PATH is named twice", "A and B name the same file", "A and B both write standard
/// output", "A would overwrite the WHAT PATH", where A and B are an output's option and path.
///
/// `directory`, when given, is where outputs go: when it does not exist and an output names a
/// file directly in it, it is made (one level: its parent must exist and may be written, else
/// "cannot create directory DIR in PARENT: REASON") after every check has passed, just before
/// anything is written, and removed again if the write then fails.
///
/// What remains: text written in place or to standard output cannot be taken back when a later
/// step fails, a rename can still fail after the checks (another process changing the
/// directory, a directory where only a file's owner may replace it), and a file system that
/// cannot exchange two names replaces a target without a way back. A process killed while the
/// temporary files have names leaves them behind under ".orvik-XXXXXX.tmp".
ToolResult<void> write_all_or_nothing(const std::vector<OutputFile>& files,
                                      const std::vector<InputFile>& inputs = {},
                                      const std::string& directory = {});

} // namespace orvik_tool
