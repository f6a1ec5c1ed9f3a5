#pragma once

// Unwrapping a `Result` inside a function that itself returns a `Result` (or a `CompileError`):
// the value on success, an early return of the error otherwise.

#include "orvik_compiler/result.hpp"

/// Declares `target` as a reference to the value of the `Result` expression, or returns its
/// error from the enclosing function.
#define ORVIK_TRY(target, expression)                                                              \
  auto target##_result = (expression);                                                             \
  if (!target##_result) {                                                                          \
    return target##_result.error();                                                                \
  }                                                                                                \
  auto& target = *target##_result
