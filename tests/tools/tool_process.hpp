#pragma once

// Running the built orvik executable the way a user does, in scratch directories.

#include <filesystem>
#include <string>

namespace orvik_tool::testing {

/// What one run printed, and how it ended: its exit status, -1 for a run ended by a signal.
struct Run {
  int status = -1;
  std::string out;
  std::string err;
};

/// The whole of a file; empty when it cannot be read.
std::string slurp(const std::filesystem::path& path);

/// A scratch directory for one test case, open to every user, removed afterwards.
class Scratch {
public:
  Scratch();
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  ~Scratch();
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
  const std::filesystem::path& path() const { return path_; }
  std::size_t entries() const;

private:
  std::filesystem::path path_;
};

/// `text` quoted for the shell.
std::string quoted(const std::string& text);

/// Runs a shell command line with `input` on standard input.
Run shell(const std::string& command_line, const std::string& input = "");

/// The orvik executable, quoted for the shell.
std::string orvik_command();

/// Runs orvik with `arguments`, a shell word list, and `input` on standard input.
Run orvik(const std::string& arguments, const std::string& input = "");

/// A prefix for a command line that runs it as an unprivileged user (65534) when the tests run
/// as root, and as it is otherwise, so that permission checks mean the same either way.
std::string unprivileged();

} // namespace orvik_tool::testing
