// The harness side of the self-check executables.

#define CATCH_CONFIG_RUNNER
#include "run_harness.hpp"

#include <catch2/catch.hpp>

namespace orvik_compiler::tests {

int run_harness(int argc, char* argv[]) {
  Catch::Session session;
  if (const int status = session.applyCommandLine(argc, argv); status != 0) {
    return status;
  }
  Catch::ConfigData& config = session.configData();
  config.warnings =
      static_cast<Catch::WarnAbout::What>(config.warnings | Catch::WarnAbout::NoTests);
  return session.run();
}

} // namespace orvik_compiler::tests
