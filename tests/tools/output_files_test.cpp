// The tool's output files under hostile targets: all or nothing, devices and pipes written in
// place, permissions kept, inputs and other outputs never clobbered, standard output checked.

#include "orvik/output_files.hpp"
#include "tool_process.hpp"

#include <catch2/catch.hpp>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <regex>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace orvik_tool::testing {
namespace {

namespace fs = std::filesystem;

constexpr uid_t nobody = 65534;

void write_file(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

struct stat status_of(const fs::path& path) {
  struct stat status {};
  REQUIRE(::lstat(path.c_str(), &status) == 0);
  return status;
}

std::string q(const fs::path& path) {
  return quoted(path.string());
}

/// The entries of a directory that the tool leaves behind as temporary files.
std::vector<std::string> temporaries(const fs::path& directory) {
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(directory)) {
    const std::string name = entry.path().filename().string();
    if (name.find("orvik") != std::string::npos || name.find(".tmp") != std::string::npos) {
      names.push_back(name);
    }
  }
  return names;
}

TEST_CASE("a failing target leaves every other target as it was", "[tool][output]") {
  const Scratch scratch;
  fs::create_directory(scratch / "DIR");
  write_file(scratch / "t.json", "old trace");
  write_file(scratch / "m.svg", "old picture");
  const Run run = orvik("compile --encoder -o " + q(scratch / "DIR") + " --trace " +
                        q(scratch / "t.json") + " --memory-map " + q(scratch / "m.svg"));
  CHECK(run.status == 2);
  CHECK(run.err ==
        "orvik: error: cannot write " + (scratch / "DIR").string() + ": is a directory\n");
  CHECK(slurp(scratch / "t.json") == "old trace");
  CHECK(slurp(scratch / "m.svg") == "old picture");
  CHECK(temporaries(scratch.path()).empty());

  SECTION("a rename that fails after the checks puts back what earlier renames replaced") {
    // In a sticky directory only a file's owner may replace it: an unprivileged user passes
    // every check on a root-owned file that anyone may write, and then cannot rename over it.
    if (::geteuid() != 0) {
      WARN("needs root to set up files of two owners");
      return;
    }
    const fs::path sticky = scratch / "sticky";
    fs::create_directory(sticky);
    REQUIRE(::chmod(sticky.c_str(), 01777) == 0);
    write_file(sticky / "t.json", "old trace");
    REQUIRE(::chown((sticky / "t.json").c_str(), nobody, nobody) == 0);
    write_file(sticky / "victim", "root's file");
    REQUIRE(::chmod((sticky / "victim").c_str(), 0666) == 0);
    const Run failed = shell(unprivileged() + orvik_command() + " compile --encoder --trace " +
                             q(sticky / "t.json") + " --memory-map " + q(sticky / "m.svg") +
                             " -o " + q(sticky / "victim"));
    CHECK(failed.status == 2);
    CHECK(failed.err == "orvik: error: cannot write " + (sticky / "victim").string() +
                            ": operation not permitted\n");
    CHECK(slurp(sticky / "t.json") == "old trace");
    CHECK(slurp(sticky / "victim") == "root's file");
    CHECK(!fs::exists(sticky / "m.svg"));
    CHECK(temporaries(sticky).empty());
  }
}

TEST_CASE("devices, pipes and links to them are written in place", "[tool][output]") {
  const Scratch scratch;
  const std::string summary = orvik("compile --encoder").out;
  REQUIRE(!summary.empty());

  // Private copies of /dev/null and /dev/full where the tests may make devices (as root);
  // otherwise the real ones, which an unprivileged run could not replace anyway.
  const bool private_devices =
      ::mknod((scratch / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0 &&
      ::mknod((scratch / "full").c_str(), S_IFCHR | 0666, makedev(1, 7)) == 0;
  const fs::path null = private_devices ? scratch / "null" : fs::path("/dev/null");
  const fs::path full = private_devices ? scratch / "full" : fs::path("/dev/full");

  CHECK(orvik("compile --encoder -o " + q(null)).status == 0);
  CHECK(S_ISCHR(status_of(null).st_mode));
  const Run to_full = orvik("compile --encoder -o " + q(full));
  CHECK(to_full.status == 2);
  CHECK(to_full.err ==
        "orvik: error: cannot write " + full.string() + ": no space left on device\n");
  CHECK(S_ISCHR(status_of(full).st_mode));

  // A link to /dev/stdout prints, and stays a link.
  fs::create_symlink("/dev/stdout", scratch / "out-link");
  const Run linked = orvik("compile --encoder -o " + q(scratch / "out-link"));
  CHECK(linked.status == 0);
  CHECK(linked.out == summary);
  CHECK(fs::is_symlink(scratch / "out-link"));

  // A pipe's reader gets the text, and the pipe stays a pipe.
  REQUIRE(::mkfifo((scratch / "fifo").c_str(), 0666) == 0);
  const Run piped = shell("timeout 10 cat " + q(scratch / "fifo") + " > " + q(scratch / "got") +
                          " & " + orvik_command() + " compile --encoder -o " + q(scratch / "fifo") +
                          "; s=$?; wait; exit $s");
  CHECK(piped.status == 0);
  CHECK(slurp(scratch / "got") == summary);
  CHECK(S_ISFIFO(status_of(scratch / "fifo").st_mode));
  CHECK(temporaries(scratch.path()).empty());
}

TEST_CASE("a replaced file keeps its permission bits; one the user cannot write is kept",
          "[tool][output]") {
  const Scratch scratch;
  write_file(scratch / "private", "secret");
  REQUIRE(::chmod((scratch / "private").c_str(), 0600) == 0);
  REQUIRE(orvik("compile --encoder -o " + q(scratch / "private")).status == 0);
  CHECK(slurp(scratch / "private").rfind("Schedule of 15 operations", 0) == 0);
  CHECK((status_of(scratch / "private").st_mode & 07777) == 0600);

  // Read-only to the user who runs the tool: a file of its own without write permission, or,
  // when the tests run as root, root's file seen by an unprivileged user.
  for (const mode_t mode : {mode_t{0444}, mode_t{0644}}) {
    INFO("mode " << std::oct << mode);
    const fs::path read_only = scratch / "read-only";
    write_file(read_only, "keep me");
    REQUIRE(::chmod(read_only.c_str(), mode) == 0);
    if (::geteuid() != 0 && mode == 0644) {
      continue;
    }
    const Run run = shell(unprivileged() + orvik_command() + " compile --encoder -o " +
                          q(read_only) + " --trace " + q(scratch / "t.json"));
    CHECK(run.status == 2);
    CHECK(run.err == "orvik: error: cannot write " + read_only.string() + ": permission denied\n");
    CHECK(slurp(read_only) == "keep me");
    CHECK(!fs::exists(scratch / "t.json"));
    fs::remove(read_only);
  }

  SECTION("root replacing another user's file leaves it theirs") {
    if (::geteuid() != 0) {
      WARN("needs root to make a file of another user");
      return;
    }
    REQUIRE(::chown((scratch / "private").c_str(), nobody, nobody) == 0);
    REQUIRE(orvik("compile --encoder --emit debug -o " + q(scratch / "private")).status == 0);
    const struct stat replaced = status_of(scratch / "private");
    CHECK(replaced.st_uid == nobody);
    CHECK(replaced.st_gid == nobody);
    CHECK((replaced.st_mode & 07777) == 0600);
  }
}

TEST_CASE("no output replaces the graph file or another output, however it is spelled",
          "[tool][output]") {
  const Scratch scratch;
  const std::string graph = orvik("graph --encoder").out;
  write_file(scratch / "g.json", graph);
  fs::create_symlink("g.json", scratch / "g-link");
  fs::create_hard_link(scratch / "g.json", scratch / "g-hard");
  fs::create_symlink("x", scratch / "x-link");
  const std::string g = (scratch / "g.json").string();
  const std::string dot_g = (scratch / "." / "g.json").string();
  const std::string x = (scratch / "x").string();
  const std::string dot_x = (scratch / "." / "x").string();
  struct Case {
    std::string command_line;
    std::string error;
  };
  const std::vector<Case> cases{
      {"compile " + quoted(g) + " -o " + quoted(g),
       "-o " + g + " would overwrite the graph file " + g},
      {"compile " + quoted(g) + " -o " + quoted(dot_g),
       "-o " + dot_g + " would overwrite the graph file " + g},
      {"compile " + quoted(g) + " --trace " + q(scratch / "g-link"),
       "--trace " + (scratch / "g-link").string() + " would overwrite the graph file " + g},
      {"compile " + q(scratch / "g-link") + " --memory-map " + q(scratch / "g-hard"),
       "--memory-map " + (scratch / "g-hard").string() + " would overwrite the graph file " +
           (scratch / "g-link").string()},
      {"compile - -o " + quoted(g) + " < " + quoted(g),
       "-o " + g + " would overwrite the graph file on standard input"},
      {"compile --encoder -o " + quoted(x) + " --trace " + quoted(x), x + " is named twice"},
      {"compile --encoder -o " + quoted(x) + " --trace " + quoted(dot_x),
       "--trace " + dot_x + " and -o " + x + " name the same file"},
      {"compile --encoder --trace " + quoted(x) + " --memory-map " + q(scratch / "x-link"),
       "--trace " + x + " and --memory-map " + (scratch / "x-link").string() +
           " name the same file"},
  };
  for (const Case& c : cases) {
    INFO(c.command_line);
    const Run run = shell(orvik_command() + " " + c.command_line);
    CHECK(run.status == 2);
    CHECK(run.err == "orvik: error: " + c.error + "\n");
    CHECK(slurp(scratch / "g.json") == graph);
    CHECK(!fs::exists(scratch / "x"));
  }
}

TEST_CASE("a failure to write standard output is an error", "[tool][output]") {
  const Scratch scratch;
  const std::string status_file = q(scratch / "status");
  struct Case {
    std::string name;
    std::string command_line;
    std::string reason;
  };
  // The reader stops after one byte of a text far larger than a pipe holds.
  const std::vector<Case> cases{
      {"a full device", orvik_command() + " compile --encoder > /dev/full",
       "no space left on device"},
      {"help to a full device", orvik_command() + " --help > /dev/full", "no space left on device"},
      {"a closed standard output", orvik_command() + " compile --encoder >&-",
       "bad file descriptor"},
      {"a reader that leaves early, SIGPIPE ignored",
       "trap '' PIPE; { " + orvik_command() +
           " compile --encoder --sequence 128 --hidden 256 --emit json; echo $? > " + status_file +
           "; } | head -c 1 > /dev/null; exit $(cat " + status_file + ")",
       "broken pipe"},
  };
  for (const Case& c : cases) {
    INFO(c.name);
    const Run run = shell(c.command_line);
    CHECK(run.status == 2);
    CHECK(run.err == "orvik: error: cannot write standard output: " + c.reason + "\n");
  }
}

TEST_CASE("temporary names fit any file name and outlive no killed run", "[tool][output]") {
  const Scratch scratch;
  const std::string longest(250, 'n');
  const Run run = orvik("compile --encoder -o " + q(scratch / longest) + " --trace " +
                        q(scratch / (longest.substr(5) + ".json")));
  CHECK(run.status == 0);
  CHECK(run.err.empty());
  CHECK(slurp(scratch / longest).rfind("Schedule of 15 operations", 0) == 0);
  CHECK(scratch.entries() == 2);

  // The run blocks writing a pipe that nobody reads while the trace waits in a temporary file,
  // and is killed there.
  const fs::path fifo = scratch / "fifo";
  REQUIRE(::mkfifo(fifo.c_str(), 0666) == 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  REQUIRE(reader >= 0);
  const std::string trace = (scratch / "t.json").string();
  const pid_t child = ::fork();
  REQUIRE(child >= 0);
  if (child == 0) {
    const int quiet = ::open("/dev/null", O_WRONLY);
    ::dup2(quiet, STDOUT_FILENO);
    ::dup2(quiet, STDERR_FILENO);
    ::execl(ORVIK_TOOL, "orvik", "compile", "--encoder", "--sequence", "128", "--hidden", "256",
            "--emit", "json", "-o", fifo.c_str(), "--trace", trace.c_str(),
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  pollfd ready{reader, POLLIN, 0};
  CHECK(::poll(&ready, 1, 30000) == 1);
  const std::vector<std::string> while_blocked = temporaries(scratch.path());
  ::kill(child, SIGKILL);
  int raw = 0;
  ::waitpid(child, &raw, 0);
  ::close(reader);
  CHECK(WIFSIGNALED(raw));
  CHECK(!fs::exists(trace));
  // Unnamed while they are written where the file system allows it; otherwise named so.
  const int probe = ::open(scratch.path().c_str(), O_TMPFILE | O_WRONLY, 0600);
  if (probe >= 0) {
    ::close(probe);
    CHECK(while_blocked.empty());
    CHECK(temporaries(scratch.path()).empty());
  }
  for (const std::string& name : temporaries(scratch.path())) {
    CHECK(std::regex_match(name, std::regex(R"(\.orvik-[A-Za-z0-9]{6}\.tmp)")));
  }
}

TEST_CASE("a missing output directory is made last, one level deep, and only kept when the "
          "files are written",
          "[tool][output]") {
  const Scratch scratch;
  const fs::path made = scratch / "made";
  const std::vector<OutputFile> files{{(made / "a.npy").string(), "a", "-o"},
                                      {(made / "b.npy").string(), "b", "-o"}};
  SECTION("made and filled, however the directory is spelled") {
    for (const std::string& directory :
         {made.string(), made.string() + "/", made.string() + "//"}) {
      INFO(directory);
      const std::string prefix = directory.back() == '/' ? directory : directory + "/";
      REQUIRE(write_all_or_nothing({{prefix + "a.npy", "a", "-o"}, {prefix + "b.npy", "b", "-o"}},
                                   {}, directory));
      CHECK(slurp(made / "a.npy") == "a");
      CHECK(slurp(made / "b.npy") == "b");
      fs::remove_all(made);
    }
  }
  SECTION("not made when a check fails, nor when no output goes in it") {
    const ToolResult<void> twice = write_all_or_nothing(
        {files[0], {"-", "x", "--trace"}, {"-", "y", "--memory-map"}}, {}, made.string());
    REQUIRE_FALSE(twice);
    CHECK(twice.failure().message ==
          "orvik: error: --trace - and --memory-map - both write standard output");
    CHECK(write_all_or_nothing({{(scratch / "c").string(), "c", "-o"}}, {}, made.string()));
    CHECK(!fs::exists(made));
  }
  SECTION("removed again when writing fails after it was made") {
    // A full device takes the in-place write, which comes after the files in the directory
    // were written.
    const ToolResult<void> full = write_all_or_nothing(
        {files[0], {"/dev/full", "x", "--trace"}, files[1]}, {}, made.string());
    REQUIRE_FALSE(full);
    CHECK(full.failure().message ==
          "orvik: error: cannot write /dev/full: no space left on device");
    CHECK(!fs::exists(made));
  }
  SECTION("a missing parent or a directory that is a file is refused, naming it") {
    const fs::path deeper = scratch / "missing" / "made";
    const ToolResult<void> missing =
        write_all_or_nothing({{(deeper / "a.npy").string(), "a", "-o"}}, {}, deeper.string());
    REQUIRE_FALSE(missing);
    CHECK(missing.failure().message == "orvik: error: cannot create directory " + deeper.string() +
                                           " in " + (scratch / "missing").string() +
                                           ": no such file or directory");
    write_file(scratch / "file", "kept");
    const ToolResult<void> file = write_all_or_nothing(
        {{(scratch / "file" / "a.npy").string(), "a", "-o"}}, {}, (scratch / "file").string());
    REQUIRE_FALSE(file);
    CHECK(file.failure().message == "orvik: error: cannot write " +
                                        (scratch / "file" / "a.npy").string() +
                                        ": not a directory");
    CHECK(slurp(scratch / "file") == "kept");
  }
}

TEST_CASE("every output takes - for standard output, at most one of them", "[tool][output]") {
  const Scratch scratch;
  const Run trace = orvik("compile --encoder --trace - -o " + q(scratch / "report"));
  CHECK(trace.status == 0);
  CHECK(trace.out.rfind("{\"traceEvents\":[", 0) == 0);
  CHECK(slurp(scratch / "report").rfind("Schedule of 15 operations", 0) == 0);
  const Run picture = orvik("compile --encoder --memory-map - --tile 3 -o /dev/null");
  CHECK(picture.status == 0);
  CHECK(picture.out.find("Tile 3 data memory") != std::string::npos);
  const Run page = orvik("compile --encoder --report - -o /dev/null");
  CHECK(page.status == 0);
  CHECK(page.out.find("<script id=\"report-data\"") != std::string::npos);

  struct Case {
    std::string arguments;
    std::string error;
  };
  const std::vector<Case> cases{
      {"compile --encoder --trace -",
       "orvik: error: --trace - and the schedule summary both write standard output; -o FILE "
       "moves the summary"},
      {"compile --encoder -o - --trace " + q(scratch / "t.json") + " --memory-map -",
       "orvik: error: --memory-map - and -o - both write standard output"},
      {"compile --encoder -o ''", "orvik: error: --output: an empty path names no file"},
      {"compile --encoder --trace ''", "orvik: error: --trace: an empty path names no file"},
      {"compile --encoder --memory-map ''",
       "orvik: error: --memory-map: an empty path names no file"},
      {"compile --encoder --report ''", "orvik: error: --report: an empty path names no file"},
      {"compile ''", "orvik: error: GRAPH: an empty path names no file"},
      {"graph --encoder -o ''", "orvik: error: --output: an empty path names no file"},
  };
  for (const Case& c : cases) {
    INFO(c.arguments);
    const Run run = orvik(c.arguments);
    CHECK(run.status == 2);
    CHECK(run.err.rfind(c.error, 0) == 0);
    CHECK(run.out.empty());
  }
  CHECK(scratch.entries() == 1);

  const Run version = orvik("--version");
  CHECK(version.status == 0);
  CHECK(version.out == std::string("orvik ") + ORVIK_VERSION + "\n");
}

} // namespace
} // namespace orvik_tool::testing
