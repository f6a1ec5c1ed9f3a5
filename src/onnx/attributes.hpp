#pragma once

// A node's attributes, read by name and type, and axes made non-negative.

#include "conversion.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvik_compiler::onnx_import {

/// The attribute `name` of the node, or nothing when absent.
const onnx::AttributeProto* attribute(const Node& node, std::string_view name);
/// An integer attribute, `fallback` when absent; an error when it has another type.
Result<std::int64_t> int_attribute(const Node& node, std::string_view name, std::int64_t fallback);
/// A float attribute, `fallback` when absent; an error when it has another type.
Result<float> float_attribute(const Node& node, std::string_view name, float fallback);
/// A string attribute, `fallback` when absent; an error when it has another type.
Result<std::string> string_attribute(const Node& node, std::string_view name,
                                     std::string_view fallback);
/// An integer-list attribute, nothing when absent; an error when it has another type.
Result<std::optional<std::vector<std::int64_t>>> ints_attribute(const Node& node,
                                                                std::string_view name);

/// An integer list as messages write it: "[1, -2, 3]".
std::string ints_text(const std::vector<std::int64_t>& values);

/// An axis in [-rank, rank) made non-negative; an error naming `what` otherwise.
Result<std::uint64_t> normalised_axis(const Node& node, std::int64_t axis, std::uint64_t rank,
                                      std::string_view what);

} // namespace orvik_compiler::onnx_import
