// Running the orvik executable from the tests.

#include "tool_process.hpp"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace orvik_tool::testing {
namespace fs = std::filesystem;

std::string slurp(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

Scratch::Scratch() {
  static int counter = 0;
  path_ = fs::temp_directory_path() /
          ("orvik-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
  fs::create_directories(path_);
  fs::permissions(path_, fs::perms::all);
}

Scratch::~Scratch() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::size_t Scratch::entries() const {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(path_), {}));
}

std::string quoted(const std::string& text) {
  std::string result = "'";
  for (const char c : text) {
    result += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return result + "'";
}

Run shell(const std::string& command_line, const std::string& input) {
  const Scratch scratch;
  std::ofstream(scratch / "in") << input;
  const std::string full = "{ " + command_line + "\n} < " + quoted((scratch / "in").string()) +
                           " > " + quoted((scratch / "out").string()) + " 2> " +
                           quoted((scratch / "err").string());
  const int raw = std::system(full.c_str());
  Run run;
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  run.out = slurp(scratch / "out");
  run.err = slurp(scratch / "err");
  return run;
}

std::string orvik_command() {
  return quoted(ORVIK_TOOL);
}

Run orvik(const std::string& arguments, const std::string& input) {
  return shell(orvik_command() + " " + arguments, input);
}

std::string unprivileged() {
  return ::geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
}

} // namespace orvik_tool::testing
