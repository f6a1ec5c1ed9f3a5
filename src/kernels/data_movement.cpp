// The kernels that only move values: broadcast, slice, concat and gather copy whole runs of
// contiguous values where the layouts allow, and never compute with a value, so its bits are
// unchanged.

#include "kernels.hpp"

#include "../checked_arithmetic.hpp"
#include "require_length.hpp"

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <string>

namespace orvik_compiler::kernels {
namespace {

// Sizes are checked as arrays of floats; the integers take as many bytes.
static_assert(sizeof(std::int32_t) == sizeof(float));

std::uint64_t product(std::span<const std::uint64_t> extents, const char* what) {
  std::uint64_t count = 1;
  for (const std::uint64_t extent : extents) {
    count = checked::multiply(count, extent, what);
  }
  return count;
}

std::ptrdiff_t offset(std::uint64_t index) {
  return static_cast<std::ptrdiff_t>(index); // below an array's size, which fits ptrdiff_t
}

} // namespace

template <class Element>
std::vector<Element> broadcast(std::span<const Element> input, std::span<const std::uint64_t> shape,
                               std::span<const std::uint64_t> target) {
  const std::size_t rank = target.size();
  if (shape.size() > rank) {
    throw std::out_of_range("broadcast: a shape of rank " + std::to_string(shape.size()) +
                            " cannot grow to rank " + std::to_string(rank));
  }
  // The input's extents aligned at the right, 1 on the axes it lacks.
  std::vector<std::uint64_t> extents(rank - shape.size(), 1);
  extents.insert(extents.end(), shape.begin(), shape.end());
  for (std::size_t axis = 0; axis < rank; ++axis) {
    if (extents[axis] != 1 && extents[axis] != target[axis]) {
      throw std::out_of_range("broadcast: extent " + std::to_string(extents[axis]) +
                              " cannot repeat to " + std::to_string(target[axis]));
    }
  }
  require_length(input.size(), product(shape, "broadcast"), "broadcast", "input");
  std::vector<Element> output(checked::float_count(product(target, "broadcast"), "broadcast"));
  if (output.empty()) {
    return output;
  }
  // The trailing axes form one run: either all copied (extents equal to the target's), making
  // one contiguous copy per position of the other axes, or all repeated (input extent 1),
  // making one fill with a single value.
  const bool copies = rank > 0 && extents[rank - 1] == target[rank - 1];
  std::size_t run_start = rank;
  std::uint64_t run = 1;
  while (run_start > 0 && (extents[run_start - 1] == target[run_start - 1]) == copies) {
    --run_start;
    run *= target[run_start];
  }
  // Row-major steps of the input, 0 on repeated axes.
  std::vector<std::uint64_t> steps(rank, 0);
  std::uint64_t step = 1;
  for (std::size_t axis = rank; axis-- > 0;) {
    steps[axis] = extents[axis] == 1 ? 0 : step;
    step *= extents[axis];
  }
  std::vector<std::uint64_t> position(run_start, 0);
  std::uint64_t source = 0;
  for (std::uint64_t destination = 0; destination < output.size(); destination += run) {
    if (copies) {
      std::copy_n(input.begin() + offset(source), run, output.begin() + offset(destination));
    } else {
      std::fill_n(output.begin() + offset(destination), run, input[source]);
    }
    // The next position over the axes before the run, carrying the input offset along.
    for (std::size_t axis = run_start; axis-- > 0;) {
      source += steps[axis];
      if (++position[axis] < target[axis]) {
        break;
      }
      source -= steps[axis] * target[axis];
      position[axis] = 0;
    }
  }
  return output;
}

template <class Element>
std::vector<Element> slice(std::span<const Element> input, std::uint64_t outer,
                           std::uint64_t extent, std::uint64_t inner, std::uint64_t start,
                           std::uint64_t stop, std::uint64_t step) {
  if (step == 0 || start >= stop || stop > extent) {
    throw std::out_of_range("slice: [" + std::to_string(start) + ", " + std::to_string(stop) +
                            ") by " + std::to_string(step) + " does not fit an extent of " +
                            std::to_string(extent));
  }
  const std::uint64_t block = checked::multiply(extent, inner, "slice");
  require_length(input.size(), checked::multiply(outer, block, "slice"), "slice", "input");
  const std::uint64_t kept = (stop - start - 1) / step + 1;
  std::vector<Element> output(outer * kept * inner); // no larger than the input
  auto destination = output.begin();
  // Consecutive positions are one run; single values are taken one by one, not as runs of one.
  if (step == 1) {
    for (std::uint64_t o = 0; o < outer; ++o) {
      destination = std::copy_n(input.begin() + offset(o * block + start * inner),
                                offset(kept * inner), destination);
    }
  } else if (inner == 1) {
    for (std::uint64_t o = 0; o < outer; ++o) {
      const Element* source = input.data() + o * block;
      for (std::uint64_t a = start; a < stop; a += step) {
        *destination++ = source[a];
      }
    }
  } else {
    for (std::uint64_t o = 0; o < outer; ++o) {
      for (std::uint64_t a = start; a < stop; a += step) {
        const auto source = input.begin() + offset(o * block + a * inner);
        destination = std::copy_n(source, inner, destination);
      }
    }
  }
  return output;
}

template <class Element>
std::vector<Element> concat(std::span<const std::span<const Element>> inputs,
                            std::span<const std::uint64_t> extents, std::uint64_t outer,
                            std::uint64_t inner) {
  if (inputs.size() != extents.size()) {
    throw std::out_of_range("concat: " + std::to_string(inputs.size()) + " inputs but " +
                            std::to_string(extents.size()) + " extents");
  }
  // Input j gives a run of extents[j] x inner values to each outer index in turn.
  std::vector<std::uint64_t> runs;
  runs.reserve(inputs.size());
  std::uint64_t joined = 0;
  for (std::size_t j = 0; j < inputs.size(); ++j) {
    runs.push_back(checked::multiply(extents[j], inner, "concat"));
    require_length(inputs[j].size(), checked::multiply(outer, runs.back(), "concat"), "concat",
                   "an input");
    joined = checked::add(joined, runs.back(), "concat");
  }
  std::vector<Element> output(
      checked::float_count(checked::multiply(outer, joined, "concat"), "concat result"));
  auto destination = output.begin();
  for (std::uint64_t o = 0; o < outer; ++o) {
    for (std::size_t j = 0; j < inputs.size(); ++j) {
      destination = std::copy_n(inputs[j].begin() + offset(o * runs[j]), runs[j], destination);
    }
  }
  return output;
}

std::optional<std::int32_t> first_index_outside(std::span<const std::int32_t> indices,
                                                std::uint64_t rows) {
  // A flag over the whole array first, a loop that vectorises; the search only when it is set.
  // A negative index read as unsigned is 2^31 or more, at or past any limit an index can meet.
  const auto limit = static_cast<std::uint32_t>(std::min<std::uint64_t>(rows, 1U << 31U));
  const auto outside = [limit](std::int32_t index) {
    return static_cast<std::uint32_t>(index) >= limit;
  };
  std::uint32_t any = 0;
  for (const std::int32_t index : indices) {
    any |= outside(index) ? 1U : 0U;
  }
  if (any == 0) {
    return std::nullopt;
  }
  return *std::find_if(indices.begin(), indices.end(), outside);
}

template <class Element>
std::vector<Element> gather(std::span<const Element> table, std::uint64_t rows,
                            std::uint64_t row_length, std::span<const std::int32_t> indices) {
  require_length(table.size(), checked::multiply(rows, row_length, "gather"), "gather", "table");
  if (const std::optional<std::int32_t> index = first_index_outside(indices, rows)) {
    throw std::out_of_range("gather: index " + std::to_string(*index) + " is outside [0, " +
                            std::to_string(rows) + ")");
  }
  std::vector<Element> output(checked::float_count(
      checked::multiply(indices.size(), row_length, "gather result size"), "gather result"));
  auto destination = output.begin();
  for (const std::int32_t index : indices) {
    const auto row = static_cast<std::uint64_t>(index);
    destination = std::copy_n(table.begin() + offset(row * row_length), row_length, destination);
  }
  return output;
}

#define ORVIK_INSTANTIATE_DATA_MOVEMENT(Element)                                                   \
  template std::vector<Element> broadcast(                                                         \
      std::span<const Element>, std::span<const std::uint64_t>, std::span<const std::uint64_t>);   \
  template std::vector<Element> slice(std::span<const Element>, std::uint64_t, std::uint64_t,      \
                                      std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t); \
  template std::vector<Element> concat(std::span<const std::span<const Element>>,                  \
                                       std::span<const std::uint64_t>, std::uint64_t,              \
                                       std::uint64_t);                                             \
  template std::vector<Element> gather(std::span<const Element>, std::uint64_t, std::uint64_t,     \
                                       std::span<const std::int32_t>);

ORVIK_INSTANTIATE_DATA_MOVEMENT(float)
ORVIK_INSTANTIATE_DATA_MOVEMENT(std::int32_t)

#undef ORVIK_INSTANTIATE_DATA_MOVEMENT

} // namespace orvik_compiler::kernels
