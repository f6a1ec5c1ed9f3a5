// Reading an input whole within its size limit.

#include "input_file.hpp"

#include "descriptor.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvik_tool {

std::string input_name(std::string_view path) {
  return std::string(path == "-" ? standard_input_name : path);
}

ToolResult<std::string> read_input_file(const std::string& path, std::uint64_t max_bytes) {
  const bool standard_input = path == "-";
  const std::string name = input_name(path);
  const auto cannot_read = [&](int error) {
    return tool_error(exit_usage_error, "cannot read " + name + ": " + error_reason(error));
  };
  const auto too_large = [&] {
    return tool_error(exit_usage_error, name + " is larger than the limit of " +
                                            std::to_string(max_bytes) + " bytes");
  };
  Descriptor opened;
  if (!standard_input) {
    opened = Descriptor(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!opened) {
      return cannot_read(errno);
    }
  }
  const int descriptor = standard_input ? STDIN_FILENO : opened.get();
  struct stat status {};
  if (fstat(descriptor, &status) != 0) {
    return cannot_read(errno);
  }
  if (S_ISDIR(status.st_mode)) {
    return cannot_read(EISDIR);
  }
  std::string text;
  if (S_ISREG(status.st_mode)) {
    const auto size = static_cast<std::uint64_t>(status.st_size);
    if (size > max_bytes) {
      return too_large();
    }
    text.reserve(static_cast<std::size_t>(size));
  }
  std::array<char, 65536> chunk;
  while (true) {
    // One byte past the limit is asked for, to tell an input of exactly the limit from a
    // longer one.
    const std::uint64_t room = max_bytes - text.size();
    const std::size_t wanted =
        room >= chunk.size() ? chunk.size() : static_cast<std::size_t>(room) + 1;
    const ssize_t count = read(descriptor, chunk.data(), wanted);
    if (count < 0) {
      if (errno == EINTR) {
        continue;
      }
      return cannot_read(errno);
    }
    if (count == 0) {
      return text;
    }
    if (static_cast<std::uint64_t>(count) > room) {
      return too_large();
    }
    text.append(chunk.data(), static_cast<std::size_t>(count));
  }
}

} // namespace orvik_tool
