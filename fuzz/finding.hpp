#pragma once

// How a fuzz target reports a finding: the text on standard error, then an abort, which the
// fuzzer records together with the input that caused it.

#include <cstdlib>
#include <iostream>
#include <string>

[[noreturn]] inline void finding(const std::string& what) {
  std::cerr << "finding: " << what << '\n';
  std::abort();
}
