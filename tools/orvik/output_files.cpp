// All-or-nothing output files: temporary files beside the targets, then renames.

#include "output_files.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace orvik_tool {
namespace {

ToolFailure cannot_write(const std::string& path, int error) {
  return tool_error(exit_usage_error, "cannot write " + path + ": " + std::strerror(error));
}

/// Creates a new file beside `path` and writes `contents` to it; returns its name.
ToolResult<std::string> write_temporary(const OutputFile& file) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name =
        file.path + ".orvik-" + std::to_string(getpid()) + "-" + std::to_string(attempt) + ".tmp";
    const int descriptor = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (descriptor < 0) {
      if (errno == EEXIST) {
        continue;
      }
      return cannot_write(file.path, errno);
    }
    std::size_t written = 0;
    while (written < file.contents.size()) {
      const ssize_t count =
          write(descriptor, file.contents.data() + written, file.contents.size() - written);
      if (count < 0 && errno == EINTR) {
        continue;
      }
      if (count <= 0) {
        const int error = count < 0 ? errno : EIO;
        close(descriptor);
        unlink(name.c_str());
        return cannot_write(file.path, error);
      }
      written += static_cast<std::size_t>(count);
    }
    if (close(descriptor) != 0) {
      const int error = errno;
      unlink(name.c_str());
      return cannot_write(file.path, error);
    }
    return name;
  }
  return cannot_write(file.path, EEXIST);
}

} // namespace

std::optional<ToolFailure> write_all_or_nothing(const std::vector<OutputFile>& files) {
  std::vector<std::string> temporaries;
  const auto discard = [&] {
    for (const std::string& name : temporaries) {
      unlink(name.c_str());
    }
  };
  for (const OutputFile& file : files) {
    ToolResult<std::string> name = write_temporary(file);
    if (!name) {
      discard();
      return name.failure();
    }
    temporaries.push_back(std::move(*name));
  }
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (std::rename(temporaries[i].c_str(), files[i].path.c_str()) != 0) {
      const int error = errno;
      discard();
      return cannot_write(files[i].path, error);
    }
  }
  return std::nullopt;
}

} // namespace orvik_tool
