#pragma once

// Everything public of the library: the graph model, the schedule records, the compiler, the
// encoder workload, the host kernels and the host interpreter.

#include "orvik_compiler/compiler.hpp"
#include "orvik_compiler/debug_text.hpp"
#include "orvik_compiler/encoder.hpp"
#include "orvik_compiler/evaluate.hpp"
#include "orvik_compiler/graph.hpp"
#include "orvik_compiler/kernels.hpp"
#include "orvik_compiler/result.hpp"
#include "orvik_compiler/schedule.hpp"
#include "orvik_compiler/verify_schedule.hpp"
