// All-or-nothing output files: temporary files beside the targets, then renames.

#include "output_files.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace orvik_tool {
namespace {

std::string failure(const std::string& path, int error) {
  return "cannot write " + path + ": " + std::strerror(error);
}

/// Creates a new file beside `path` and writes `contents` to it; returns its name.
std::optional<std::string> write_temporary(const OutputFile& file, std::string& error) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name =
        file.path + ".orvik-" + std::to_string(getpid()) + "-" + std::to_string(attempt) + ".tmp";
    const int descriptor = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (descriptor < 0) {
      if (errno == EEXIST) {
        continue;
      }
      error = failure(file.path, errno);
      return std::nullopt;
    }
    std::size_t written = 0;
    while (written < file.contents.size()) {
      const ssize_t count =
          write(descriptor, file.contents.data() + written, file.contents.size() - written);
      if (count < 0 && errno == EINTR) {
        continue;
      }
      if (count <= 0) {
        error = failure(file.path, count < 0 ? errno : EIO);
        close(descriptor);
        unlink(name.c_str());
        return std::nullopt;
      }
      written += static_cast<std::size_t>(count);
    }
    if (close(descriptor) != 0) {
      error = failure(file.path, errno);
      unlink(name.c_str());
      return std::nullopt;
    }
    return name;
  }
  error = failure(file.path, EEXIST);
  return std::nullopt;
}

} // namespace

std::optional<std::string> write_all_or_nothing(const std::vector<OutputFile>& files) {
  std::vector<std::string> temporaries;
  const auto discard = [&] {
    for (const std::string& name : temporaries) {
      unlink(name.c_str());
    }
  };
  for (const OutputFile& file : files) {
    std::string error;
    std::optional<std::string> name = write_temporary(file, error);
    if (!name) {
      discard();
      return error;
    }
    temporaries.push_back(std::move(*name));
  }
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (std::rename(temporaries[i].c_str(), files[i].path.c_str()) != 0) {
      const int error = errno;
      discard();
      return failure(files[i].path, error);
    }
  }
  return std::nullopt;
}

} // namespace orvik_tool
