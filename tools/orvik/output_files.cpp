// All-or-nothing output files: every target checked first, unnamed temporary files beside the
// regular targets, in-place writes for the others, then names and renames with a way back.

#include "output_files.hpp"

#include "descriptor.hpp"
#include "input_file.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <random>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace orvik_tool {
namespace {

/// Links followed before a path counts as a loop, as the system counts them.
constexpr int max_link_hops = 40;
/// Temporary names tried before giving up on finding a free one.
constexpr int max_name_attempts = 100;
/// The permission bits that a replaced file passes on; set-id and sticky bits are not.
constexpr mode_t permission_bits = S_IRWXU | S_IRWXG | S_IRWXO;

/// How a target receives its text.
enum class Delivery {
  /// Written to file descriptor 1.
  standard_output,
  /// Opened and written as it is: a device, a pipe or a socket.
  in_place,
  /// A regular file, or none yet: replaced by a temporary file renamed over it.
  replace,
};

/// What a path names, however it is spelled: a file by device and inode, or a file that does
/// not exist yet by its directory's device and inode and its name there.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  std::string name;

  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

/// One output once its path has been looked at.
struct Target {
  const OutputFile* file = nullptr;
  Delivery delivery = Delivery::replace;
  /// The regular file that the output would write, if it writes one: never set for in-place
  /// targets, which two outputs may share without either being lost.
  std::optional<FileIdentity> identity;
  /// For `replace`: the directory that holds the target, the target's name there, and the
  /// file it replaces.
  Descriptor directory;
  std::string name;
  std::optional<struct stat> replaced;
  /// Whether the target goes in the directory that the write makes, which `directory` is
  /// opened on once it is made.
  bool in_new_directory = false;
};

/// How a temporary file was put in place, which says how to take it back.
enum class Placement {
  /// Renamed to a name that was free: taken back by removing it.
  created,
  /// Exchanged with the file it replaces, which now has the temporary name: taken back by
  /// exchanging again.
  exchanged,
  /// Renamed over the old file on a file system that cannot exchange names: no way back.
  overwritten,
};

/// The new contents of one `replace` target, in a file in the target's directory.
struct Temporary {
  Descriptor descriptor;
  /// Its name in the directory; empty while it has none, and once renamed to the target.
  std::string name;
  std::optional<Placement> placement;
};

std::string describe(const OutputFile& file) {
  return file.option.empty() ? file.path : file.option + " " + file.path;
}

ToolFailure cannot_write(const OutputFile& file, int error) {
  const std::string what = file.path == "-" ? "standard output" : file.path;
  return tool_error(exit_usage_error, "cannot write " + what + ": " + error_reason(error));
}

/// Writes all of `text`; returns 0 or the `errno` of the failure.
int write_all(int descriptor, std::string_view text) {
  while (!text.empty()) {
    const ssize_t count = write(descriptor, text.data(), text.size());
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      return count < 0 ? errno : EIO;
    }
    text.remove_prefix(static_cast<std::size_t>(count));
  }
  return 0;
}

std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string name_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

/// `path` without the slashes that end it, unless it is all slashes.
std::string_view without_final_slashes(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') {
    path.remove_suffix(1);
  }
  return path;
}

/// A directory that outputs go in and that does not exist yet: made once every target has
/// been checked, and removed again unless the files were written.
class NewDirectory {
public:
  /// `path` as the option gave it, `parent` open on the directory that will hold it.
  NewDirectory(std::string path, Descriptor parent)
      : path_(std::move(path)), name_(name_of(std::string(without_final_slashes(path_)))),
        parent_(std::move(parent)) {}
  NewDirectory(const NewDirectory&) = delete;
  NewDirectory& operator=(const NewDirectory&) = delete;
  ~NewDirectory() {
    if (made_ && !kept_) {
      // Empty by now: the files placed in it were taken back and the temporary ones removed.
      unlinkat(parent_.get(), name_.c_str(), AT_REMOVEDIR);
    }
  }

  /// Whether `path` names a file directly in this directory.
  bool holds(const std::string& path) const { return holds(path_, path); }
  static bool holds(std::string_view directory, const std::string& path) {
    return without_final_slashes(directory_of(path)) == without_final_slashes(directory);
  }

  /// What the file `name` in this directory will be: the parent's device and inode and the
  /// path from there.
  ToolResult<FileIdentity> identity(const OutputFile& file, const std::string& name) const {
    struct stat status {};
    if (fstat(parent_.get(), &status) != 0) {
      return cannot_write(file, errno);
    }
    return FileIdentity{status.st_dev, status.st_ino, name_ + "/" + name};
  }

  /// Makes the directory; returns it open, or the failure.
  ToolResult<int> make() {
    if (mkdirat(parent_.get(), name_.c_str(), 0777) != 0) {
      return failure(path_, errno);
    }
    made_ = true;
    directory_ = Descriptor(
        openat(parent_.get(), name_.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!directory_) {
      return failure(path_, errno);
    }
    return directory_.get();
  }

  /// Keeps the directory once the files are in it.
  void keep() { kept_ = true; }

  /// "cannot create directory PATH in PARENT: REASON".
  static ToolFailure failure(const std::string& path, int error) {
    return tool_error(exit_usage_error, "cannot create directory " + path + " in " +
                                            directory_of(std::string(without_final_slashes(path))) +
                                            ": " + error_reason(error));
  }

private:
  std::string path_;
  std::string name_;
  Descriptor parent_;
  Descriptor directory_;
  bool made_ = false;
  bool kept_ = false;
};

/// The directory to make for the outputs: `directory` when it does not exist and some output
/// goes in it, its parent a directory that the user may write. None when `directory` is empty
/// or exists (also as a link to nothing), or no output goes in it; a fault of such a directory
/// is the targets' to report.
ToolResult<std::unique_ptr<NewDirectory>> directory_to_make(const std::string& directory,
                                                            const std::vector<OutputFile>& files) {
  struct stat status {};
  if (directory.empty() || lstat(directory.c_str(), &status) == 0 || errno != ENOENT ||
      std::none_of(files.begin(), files.end(), [&](const OutputFile& file) {
        return NewDirectory::holds(directory, file.path);
      })) {
    return std::unique_ptr<NewDirectory>();
  }
  const std::string parent = directory_of(std::string(without_final_slashes(directory)));
  Descriptor opened(open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!opened || faccessat(opened.get(), ".", W_OK | X_OK, AT_EACCESS) != 0) {
    return NewDirectory::failure(directory, errno);
  }
  return std::make_unique<NewDirectory>(directory, std::move(opened));
}

/// Follows `path` while it is a symbolic link, so that it names the file that the link leads
/// to, or the name where that file would be created; returns 0 or the `errno` of the failure.
int follow_links(std::string& path) {
  for (int hop = 0; hop < max_link_hops; ++hop) {
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0) {
      return errno == ENOENT ? 0 : errno;
    }
    if (!S_ISLNK(status.st_mode)) {
      return 0;
    }
    std::array<char, PATH_MAX> buffer;
    const ssize_t length = readlink(path.c_str(), buffer.data(), buffer.size());
    if (length < 0) {
      return errno;
    }
    if (static_cast<std::size_t>(length) == buffer.size()) {
      return ENAMETOOLONG;
    }
    const std::string target(buffer.data(), static_cast<std::size_t>(length));
    path = target.front() == '/' ? target : directory_of(path) + "/" + target;
  }
  return ELOOP;
}

/// Decides how `file` is written and checks that it can be: its directory exists and may be
/// written, or is `new_directory`, and a file that it replaces may be written.
ToolResult<Target> resolve(const OutputFile& file, const struct stat& standard_output,
                           const NewDirectory* new_directory) {
  Target target;
  target.file = &file;
  const bool output_is_regular = S_ISREG(standard_output.st_mode);
  const FileIdentity output_identity{standard_output.st_dev, standard_output.st_ino, {}};
  if (file.path == "-") {
    target.delivery = Delivery::standard_output;
    if (output_is_regular) {
      target.identity = output_identity;
    }
    return target;
  }
  if (new_directory != nullptr && new_directory->holds(file.path)) {
    // Nothing is in a directory still to be made: the file is new.
    target.name = name_of(file.path);
    if (target.name.empty() || target.name == "." || target.name == "..") {
      return cannot_write(file, EISDIR);
    }
    const ToolResult<FileIdentity> identity = new_directory->identity(file, target.name);
    if (!identity) {
      return identity.failure();
    }
    target.identity = *identity;
    target.in_new_directory = true;
    return target;
  }
  struct stat status {};
  if (stat(file.path.c_str(), &status) == 0) {
    if (S_ISDIR(status.st_mode)) {
      return cannot_write(file, EISDIR);
    }
    if (!S_ISREG(status.st_mode)) {
      if (faccessat(AT_FDCWD, file.path.c_str(), W_OK, AT_EACCESS) != 0) {
        return cannot_write(file, errno);
      }
      target.delivery = Delivery::in_place;
      return target;
    }
    // "/dev/stdout" and the like, when standard output goes to a regular file: written through
    // the descriptor, which may be appending.
    if (output_is_regular && FileIdentity{status.st_dev, status.st_ino, {}} == output_identity) {
      target.delivery = Delivery::standard_output;
      target.identity = output_identity;
      return target;
    }
  } else if (errno != ENOENT) {
    return cannot_write(file, errno);
  }

  std::string path = file.path;
  if (const int error = follow_links(path); error != 0) {
    return cannot_write(file, error);
  }
  target.name = name_of(path);
  if (target.name.empty() || target.name == "." || target.name == "..") {
    return cannot_write(file, EISDIR);
  }
  target.directory = Descriptor(open(directory_of(path).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  const int directory = target.directory.get();
  if (!target.directory || faccessat(directory, ".", W_OK | X_OK, AT_EACCESS) != 0) {
    return cannot_write(file, errno);
  }
  struct stat existing {};
  if (fstatat(directory, target.name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!S_ISREG(existing.st_mode)) {
      // Changed since it was first looked at.
      return cannot_write(file, S_ISDIR(existing.st_mode) ? EISDIR : EEXIST);
    }
    if (faccessat(directory, target.name.c_str(), W_OK, AT_EACCESS) != 0) {
      return cannot_write(file, errno);
    }
    target.replaced = existing;
    target.identity = FileIdentity{existing.st_dev, existing.st_ino, {}};
    return target;
  }
  if (errno != ENOENT) {
    return cannot_write(file, errno);
  }
  struct stat directory_status {};
  if (fstat(directory, &directory_status) != 0) {
    return cannot_write(file, errno);
  }
  target.identity = FileIdentity{directory_status.st_dev, directory_status.st_ino, target.name};
  return target;
}

/// At most one output on standard output, no two outputs writing one regular file, and no
/// output replacing an input.
ToolResult<void> check_distinct(const std::vector<Target>& targets,
                                const std::vector<InputFile>& inputs) {
  const auto refuse = [](const std::string& what) { return tool_error(exit_usage_error, what); };
  const Target* on_standard_output = nullptr;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    const Target& target = targets[i];
    if (target.delivery == Delivery::standard_output) {
      if (on_standard_output != nullptr) {
        return refuse(describe(*on_standard_output->file) + " and " + describe(*target.file) +
                      " both write standard output");
      }
      on_standard_output = &target;
    }
    for (std::size_t j = 0; j < i && target.identity; ++j) {
      const Target& earlier = targets[j];
      if (earlier.identity != target.identity) {
        continue;
      }
      if (earlier.file->path == target.file->path) {
        return refuse(target.file->path + " is named twice");
      }
      return refuse(describe(*earlier.file) + " and " + describe(*target.file) +
                    " name the same file");
    }
  }
  for (const InputFile& input : inputs) {
    struct stat status {};
    const bool standard_input = input.path == "-";
    if ((standard_input ? fstat(STDIN_FILENO, &status) : stat(input.path.c_str(), &status)) != 0 ||
        !S_ISREG(status.st_mode)) {
      continue;
    }
    const FileIdentity read{status.st_dev, status.st_ino, {}};
    for (const Target& target : targets) {
      if (target.identity == read) {
        return refuse(describe(*target.file) + " would overwrite the " + input.what + " " +
                      (standard_input ? "on " + input_name(input.path) : input.path));
      }
    }
  }
  return {};
}

/// A short name that says what the file is: ".orvik-" and six random letters or digits, ".tmp".
std::string temporary_name() {
  constexpr std::string_view symbols =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  std::string name = ".orvik-";
  for (int i = 0; i < 6; ++i) {
    name += symbols[random() % symbols.size()];
  }
  return name + ".tmp";
}

/// A new file in `directory`: unnamed where the file system allows, otherwise under a fresh
/// temporary name. Returns 0 or the `errno` of the failure.
int create_temporary(int directory, Temporary& temporary) {
  temporary.descriptor = Descriptor(openat(directory, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
  if (temporary.descriptor) {
    return 0;
  }
  // These say that the file system or the kernel has no unnamed files.
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
    return errno;
  }
  for (int attempt = 0; attempt < max_name_attempts; ++attempt) {
    std::string name = temporary_name();
    temporary.descriptor =
        Descriptor(openat(directory, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (temporary.descriptor) {
      temporary.name = std::move(name);
      return 0;
    }
    if (errno != EEXIST) {
      return errno;
    }
  }
  return EEXIST;
}

/// Writes the target's new contents to a temporary file, with the permission bits, owner and
/// group of the file it replaces. Returns 0 or the `errno` of the failure.
int prepare(const Target& target, Temporary& temporary) {
  if (const int error = create_temporary(target.directory.get(), temporary); error != 0) {
    return error;
  }
  const int descriptor = temporary.descriptor.get();
  if (target.replaced) {
    const struct stat& old = *target.replaced;
    // The owner and group where the user may give them (EPERM, or EINVAL for an id that a user
    // namespace does not map, leave the file the user's, as a copy by the user would be); the
    // permission bits always, before any byte is written.
    if ((old.st_uid != geteuid() || old.st_gid != getegid()) &&
        fchown(descriptor, old.st_uid, old.st_gid) != 0 && errno != EPERM && errno != EINVAL) {
      return errno;
    }
    if (fchmod(descriptor, old.st_mode & permission_bits) != 0) {
      return errno;
    }
  }
  return write_all(descriptor, target.file->contents);
}

/// Gives an unnamed temporary file a name in `directory`, so that it can be renamed over its
/// target; a named one keeps its name. Closes it either way. Returns 0 or the `errno`.
int name_and_close(int directory, Temporary& temporary) {
  const int descriptor = temporary.descriptor.get();
  for (int attempt = 0; attempt < max_name_attempts && temporary.name.empty(); ++attempt) {
    std::string name = temporary_name();
    const std::string link = "/proc/self/fd/" + std::to_string(descriptor);
    int result = linkat(AT_FDCWD, link.c_str(), directory, name.c_str(), AT_SYMLINK_FOLLOW);
    if (result != 0 && errno == ENOENT && access(link.c_str(), F_OK) != 0) {
      // No /proc: linking the descriptor itself needs a privilege the user may have.
      result = linkat(descriptor, "", directory, name.c_str(), AT_EMPTY_PATH);
    }
    if (result == 0) {
      temporary.name = std::move(name);
    } else if (errno != EEXIST) {
      return errno;
    }
  }
  if (temporary.name.empty()) {
    return EEXIST;
  }
  return temporary.descriptor.close();
}

/// Puts a named temporary file in place of its target. Returns 0 or the `errno`.
int place(const Target& target, Temporary& temporary) {
  const int directory = target.directory.get();
  const char* from = temporary.name.c_str();
  const char* to = target.name.c_str();
  if (target.replaced) {
    if (renameat2(directory, from, directory, to, RENAME_EXCHANGE) == 0) {
      temporary.placement = Placement::exchanged;
      return 0;
    }
    // EINVAL: the file system cannot exchange names; ENOENT: the target has gone meanwhile.
    if (errno != EINVAL && errno != ENOENT) {
      return errno;
    }
    temporary.placement = errno == ENOENT ? Placement::created : Placement::overwritten;
  } else {
    temporary.placement = Placement::created;
  }
  if (renameat(directory, from, directory, to) != 0) {
    temporary.placement.reset();
    return errno;
  }
  temporary.name.clear();
  return 0;
}

/// Takes a placed temporary file back out of its target's place.
void take_back(const Target& target, Temporary& temporary) {
  const int directory = target.directory.get();
  switch (*temporary.placement) {
  case Placement::created:
    unlinkat(directory, target.name.c_str(), 0);
    break;
  case Placement::exchanged:
    // The old file returns to its name, the new one to the temporary name, removed below.
    renameat2(directory, temporary.name.c_str(), directory, target.name.c_str(), RENAME_EXCHANGE);
    break;
  case Placement::overwritten:
    break;
  }
  temporary.placement.reset();
}

/// The temporary files of one write, removed when it ends: on success those that hold the
/// replaced files, on failure all of them.
class Staging {
public:
  explicit Staging(const std::vector<Target>& targets)
      : targets_(targets), temporaries_(targets.size()) {}
  Staging(const Staging&) = delete;
  Staging& operator=(const Staging&) = delete;
  ~Staging() {
    for (std::size_t i = 0; i < temporaries_.size(); ++i) {
      if (!temporaries_[i].name.empty()) {
        unlinkat(targets_[i].directory.get(), temporaries_[i].name.c_str(), 0);
      }
    }
  }

  Temporary& operator[](std::size_t i) { return temporaries_[i]; }

  /// Takes back every placement so far, latest first.
  void take_back_all() {
    for (std::size_t i = temporaries_.size(); i-- > 0;) {
      if (temporaries_[i].placement) {
        take_back(targets_[i], temporaries_[i]);
      }
    }
  }

private:
  const std::vector<Target>& targets_;
  std::vector<Temporary> temporaries_;
};

} // namespace

ToolResult<void> write_all_or_nothing(const std::vector<OutputFile>& files,
                                      const std::vector<InputFile>& inputs,
                                      const std::string& directory) {
  struct stat standard_output {};
  if (fstat(STDOUT_FILENO, &standard_output) != 0) {
    standard_output.st_mode = 0;
  }
  // Declared before the temporary files, so that a directory made for them is removed after
  // them when the write fails.
  ToolResult<std::unique_ptr<NewDirectory>> new_directory = directory_to_make(directory, files);
  if (!new_directory) {
    return new_directory.failure();
  }
  std::vector<Target> targets;
  for (const OutputFile& file : files) {
    ToolResult<Target> target = resolve(file, standard_output, new_directory->get());
    if (!target) {
      return target.failure();
    }
    targets.push_back(std::move(*target));
  }
  if (ToolResult<void> distinct = check_distinct(targets, inputs); !distinct) {
    return distinct;
  }
  if (*new_directory) {
    const ToolResult<int> made = (*new_directory)->make();
    if (!made) {
      return made.failure();
    }
    for (Target& target : targets) {
      if (target.in_new_directory) {
        target.directory = Descriptor(fcntl(*made, F_DUPFD_CLOEXEC, 0));
        if (!target.directory) {
          return cannot_write(*target.file, errno);
        }
      }
    }
  }

  Staging staging(targets);
  const auto each = [&](Delivery delivery, auto step) -> ToolResult<void> {
    for (std::size_t i = 0; i < targets.size(); ++i) {
      if (targets[i].delivery != delivery) {
        continue;
      }
      if (const int error = step(targets[i], staging[i]); error != 0) {
        return cannot_write(*targets[i].file, error);
      }
    }
    return {};
  };
  // The temporary files stay unnamed while the in-place targets are written, which can block
  // on a pipe for as long as its reader waits: a process killed then leaves nothing behind.
  ToolResult<void> written = each(Delivery::replace, prepare);
  if (written) {
    written = each(Delivery::standard_output, [](const Target& target, Temporary&) {
      return write_all(STDOUT_FILENO, target.file->contents);
    });
  }
  if (written) {
    written = each(Delivery::in_place, [](const Target& target, Temporary&) {
      Descriptor descriptor(open(target.file->path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
      if (!descriptor) {
        return errno;
      }
      const int error = write_all(descriptor.get(), target.file->contents);
      return error != 0 ? error : descriptor.close();
    });
  }
  if (written) {
    written = each(Delivery::replace, [](const Target& target, Temporary& temporary) {
      return name_and_close(target.directory.get(), temporary);
    });
  }
  if (written) {
    written = each(Delivery::replace, place);
    if (!written) {
      staging.take_back_all();
    }
  }
  if (written && *new_directory) {
    (*new_directory)->keep();
  }
  return written;
}

} // namespace orvik_tool
