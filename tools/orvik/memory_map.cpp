// A picture of one tile's data window over the schedule, and the bound of its length.

#include "display.hpp"
#include "views.hpp"

#include <algorithm>
#include <iomanip>
#include <sstream>

namespace orvik_tool {
namespace {

constexpr double width = 960.0;
constexpr double height = 640.0;
constexpr double left_margin = 96.0;
constexpr double right_margin = 24.0;
constexpr double top_margin = 56.0;
constexpr double bottom_margin = 48.0;

/// What stands for `c` in XML: an entity for each of the five characters that XML reserves,
/// nothing for any other, which stands for itself.
std::string_view xml_entity(char c) {
  switch (c) {
  case '&':
    return "&amp;";
  case '<':
    return "&lt;";
  case '>':
    return "&gt;";
  case '"':
    return "&quot;";
  case '\'':
    return "&apos;";
  default:
    return {};
  }
}

/// Text made safe for XML character data and attribute values.
std::string xml_escaped(std::string_view text) {
  std::string escaped;
  for (const char c : text) {
    const std::string_view entity = xml_entity(c);
    if (entity.empty()) {
      escaped += c;
    } else {
      escaped += entity;
    }
  }
  return escaped;
}

/// The bytes of `xml_escaped(text)`, counted without writing them.
std::uint64_t xml_escaped_bytes(std::string_view text) {
  std::uint64_t bytes = 0;
  for (const char c : text) {
    bytes += std::max<std::uint64_t>(xml_entity(c).size(), 1);
  }
  return bytes;
}

/// A tensor's name for the picture: escaped for display first, so that no control character
/// (which XML cannot hold at all) reaches the file, then for XML.
std::string label(const orvik_compiler::Graph& graph, orvik_compiler::TensorId tensor) {
  return xml_escaped(
      tensor.index < graph.tensors.size() ? display_name(graph.tensors[tensor.index].name) : "?");
}

const char* const palette[] = {"#4e79a7", "#f28e2b", "#e15759", "#76b7b2", "#59a14f",
                               "#edc948", "#b07aa1", "#ff9da7", "#9c755f", "#bab0ac"};

} // namespace

std::string memory_map_svg(const orvik_compiler::Graph& graph,
                           const orvik_compiler::CompilerOptions& options,
                           const orvik_compiler::Schedule& schedule, std::uint16_t tile) {
  std::vector<const orvik_compiler::Allocation*> blocks;
  std::uint64_t top = 0;
  for (const orvik_compiler::Allocation& allocation : schedule.allocations) {
    if (allocation.tile == tile) {
      blocks.push_back(&allocation);
      top = std::max<std::uint64_t>(top, std::uint64_t{allocation.address} + allocation.size -
                                             options.data_base);
    }
  }
  // Outputs live until one past the last phase, so the x axis has one column more.
  const double columns = static_cast<double>(schedule.phases.size() + 1);
  const double plot_width = width - left_margin - right_margin;
  const double plot_height = height - top_margin - bottom_margin;
  const double span = static_cast<double>(std::max<std::uint64_t>(top, 16));
  const auto x_of = [&](double phase) { return left_margin + phase / columns * plot_width; };
  const auto y_of = [&](double offset) {
    return top_margin + plot_height - offset / span * plot_height;
  };
  const std::uint64_t window = std::uint64_t{options.data_limit} - options.data_base;

  std::ostringstream out;
  out << std::fixed << std::setprecision(2);
  out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
      << "\" viewBox=\"0 0 " << width << ' ' << height
      << "\" font-family=\"sans-serif\" font-size=\"11\">\n"
      << "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n"
      << "<text x=\"" << left_margin << "\" y=\"22\" font-size=\"15\">Tile " << tile
      << " data memory: " << blocks.size() << " allocations over " << schedule.phases.size()
      << " phases</text>\n"
      << "<text x=\"" << left_margin << "\" y=\"40\" fill=\"#555555\">window "
      << hex(options.data_base) << ".." << hex(options.data_limit)
      << "; y is the address, x the phase</text>\n";

  // Axes with phase ticks and address ticks.
  out << "<g stroke=\"#333333\" stroke-width=\"1\">\n"
      << "<line x1=\"" << left_margin << "\" y1=\"" << y_of(0) << "\" x2=\"" << width - right_margin
      << "\" y2=\"" << y_of(0) << "\"/>\n"
      << "<line x1=\"" << left_margin << "\" y1=\"" << y_of(0) << "\" x2=\"" << left_margin
      << "\" y2=\"" << top_margin << "\"/>\n</g>\n";
  const std::size_t phase_step = std::max<std::size_t>(1, (schedule.phases.size() + 1) / 20);
  for (std::size_t p = 0; p <= schedule.phases.size(); p += phase_step) {
    out << "<text x=\"" << x_of(static_cast<double>(p) + 0.5) << "\" y=\"" << y_of(0) + 16
        << "\" text-anchor=\"middle\">" << p << "</text>\n";
  }
  out << "<text x=\"" << left_margin + plot_width / 2 << "\" y=\"" << height - 8
      << "\" text-anchor=\"middle\">phase</text>\n";
  for (int tick = 0; tick <= 4; ++tick) {
    const double offset = span * tick / 4.0;
    out << "<text x=\"" << left_margin - 6 << "\" y=\"" << y_of(offset) + 4
        << "\" text-anchor=\"end\">" << hex(options.data_base + static_cast<std::uint64_t>(offset))
        << "</text>\n";
  }

  for (const orvik_compiler::Allocation* block : blocks) {
    const double x = x_of(static_cast<double>(block->live_from));
    const double x_end = x_of(static_cast<double>(block->live_until) + 1.0);
    const double offset = static_cast<double>(block->address - options.data_base);
    const double y = y_of(offset + block->size);
    const double block_height = y_of(offset) - y;
    const std::string name = label(graph, block->tensor);
    out << "<g>\n<title>" << name << ": address " << hex(block->address) << ", size " << block->size
        << " bytes, live from phase " << block->live_from << " to " << block->live_until
        << "</title>\n"
        << "<rect x=\"" << x << "\" y=\"" << y << "\" width=\"" << x_end - x << "\" height=\""
        << block_height << "\" fill=\"" << palette[block->tensor.index % std::size(palette)]
        << "\" fill-opacity=\"0.75\" stroke=\"#222222\" stroke-width=\"0.5\"/>\n";
    if (block_height >= 10.0) {
      // A nested viewport clips the label to its block.
      out << "<svg x=\"" << x << "\" y=\"" << y << "\" width=\"" << x_end - x << "\" height=\""
          << block_height << "\"><text x=\"3\" y=\"" << std::min(block_height / 2 + 4, 13.0)
          << "\" fill=\"#000000\">" << name << "</text></svg>\n";
    }
    out << "</g>\n";
  }

  if (top > 0) {
    const double percent = 100.0 * static_cast<double>(top) / static_cast<double>(window);
    out << "<line x1=\"" << left_margin << "\" y1=\"" << y_of(static_cast<double>(top))
        << "\" x2=\"" << width - right_margin << "\" y2=\"" << y_of(static_cast<double>(top))
        << "\" stroke=\"#d62728\" stroke-width=\"1.5\" stroke-dasharray=\"6 4\"/>\n"
        << "<text x=\"" << width - right_margin << "\" y=\"" << y_of(static_cast<double>(top)) - 5
        << "\" text-anchor=\"end\" fill=\"#d62728\">peak " << hex(top) << " (" << top << " bytes, "
        << percent << "% of the window)</text>\n";
  } else {
    out << "<text x=\"" << left_margin + plot_width / 2 << "\" y=\"" << top_margin + plot_height / 2
        << "\" text-anchor=\"middle\">no allocations on this tile</text>\n";
  }
  out << "</svg>\n";
  return std::move(out).str();
}

std::uint64_t memory_map_size_bound(const orvik_compiler::Graph& graph,
                                    const orvik_compiler::schedule_io::ScheduleCounts& counts,
                                    std::uint16_t tile) {
  using orvik_compiler::schedule_io::ByteBound;
  // The frame, axes and ticks take 4000 bytes; a block 420, its numbers and its label twice,
  // in its title and in its rectangle.
  ByteBound text{4000};
  for (std::size_t t = 0; t < counts.tensors.size(); ++t) {
    if (tile < counts.tensors[t].tiles) {
      const std::uint64_t name = xml_escaped_bytes(display_name(graph.tensors[t].name));
      text += ByteBound{420 + 2 * name + 2 * counts.address_digits + 2 * counts.phase_digits};
    }
  }
  return text.value;
}

} // namespace orvik_tool
