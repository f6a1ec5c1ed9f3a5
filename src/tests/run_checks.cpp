// The harness side of the self-check executable.

#define CATCH_CONFIG_RUNNER
#include "run_checks.hpp"

#include <catch2/catch.hpp>

namespace orvik_compiler::tests {

int run_checks(std::span<const RegisteredCheck> checks, int argc, char* argv[]) {
  for (const RegisteredCheck& check : checks) {
    // Registration copies the name and the invoker into the harness's registry.
    const Catch::AutoReg registration(
        Catch::makeTestInvoker(check.function), CATCH_INTERNAL_LINEINFO, Catch::StringRef(),
        Catch::NameAndTags{Catch::StringRef(check.name.data(), check.name.size()),
                           Catch::StringRef()});
  }
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
