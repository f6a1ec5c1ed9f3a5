// The options that the tool's commands share.

#include "command_options.hpp"

#include "display.hpp"

#include <charconv>
#include <limits>

namespace orvik_tool {

CLI::Validator non_empty_path() {
  return CLI::Validator(
      [](const std::string& text) -> std::string {
        return text.empty() ? "an empty path names no file" : "";
      },
      "PATH");
}

CLI::Validator number_up_to(std::uint64_t max) {
  return CLI::Validator(
      [max](std::string& text) -> std::string {
        const bool hexadecimal =
            text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
        const char* first = text.data() + (hexadecimal ? 2 : 0);
        const char* last = text.data() + text.size();
        std::uint64_t value = 0;
        const auto [end, error] = std::from_chars(first, last, value, hexadecimal ? 16 : 10);
        if (text.empty() || error != std::errc{} || end != last) {
          return "'" + text + "' is not a decimal or 0x-hexadecimal number";
        }
        if (value > max) {
          return text + " is more than the largest allowed value " + std::to_string(max);
        }
        text = std::to_string(value);
        return {};
      },
      "NUMBER");
}

CLI::Option* add_encoder_options(CLI::App& command, CLI::App& flag_owner, EncoderOptions& encoder) {
  CLI::Option* flag =
      flag_owner.add_flag("--encoder", encoder.requested, "use the built-in encoder layer");
  orvik_compiler::EncoderConfig& config = encoder.config;
  struct Dimension {
    const char* name;
    std::uint64_t* value;
    const char* description;
  };
  const Dimension dimensions[] = {
      {"--sequence", &config.sequence, "encoder tokens"},
      {"--hidden", &config.hidden, "encoder model width"},
      {"--heads", &config.heads, "encoder attention heads"},
      {"--feed-forward", &config.feed_forward, "encoder feed-forward width"}};
  for (const auto& [name, value, description] : dimensions) {
    command.add_option(name, *value, description)
        ->transform(number_up_to(std::numeric_limits<std::uint64_t>::max()))
        ->capture_default_str()
        ->needs(flag);
  }
  return flag;
}

CLI::Option* add_graph_source(CLI::App& command, const std::string& what, GraphSource& source) {
  CLI::Option_group* group = command.add_option_group("source", what);
  CLI::Option* graph = group->add_option("GRAPH", source.path,
                                         "graph file, - for standard input, or ONNX model (.onnx)");
  add_encoder_options(command, *group, source.encoder);
  group->require_option(1);
  return graph;
}

void add_dim_option(CLI::App& command, std::vector<std::string>& dims) {
  command
      .add_option("--dim", dims, "give the symbolic dimension NAME of an ONNX model the extent N")
      ->type_name("NAME=N");
}

void add_target_options(CLI::App& command, orvik_compiler::CompilerOptions& options) {
  command.add_option("--tiles", options.tile_count, "tiles of the target")
      ->transform(number_up_to(std::numeric_limits<std::uint16_t>::max()))
      ->capture_default_str();
  // Addresses show their defaults in hexadecimal, the form the window is written in elsewhere.
  command.add_option("--data-base", options.data_base, "first address of each tile's data window")
      ->transform(number_up_to(std::numeric_limits<std::uint32_t>::max()))
      ->default_str(hex(options.data_base));
  command
      .add_option("--data-limit", options.data_limit, "first address past each tile's data window")
      ->transform(number_up_to(std::numeric_limits<std::uint32_t>::max()))
      ->default_str(hex(options.data_limit));
}

std::string explain_refused_options(const std::string& message,
                                    const orvik_compiler::CompilerOptions& options) {
  if (message != "invalid compiler options") {
    return message;
  }
  if (options.tile_count == 0) {
    return message + ": --tiles must be at least 1";
  }
  if (options.data_base >= options.data_limit) {
    return message + ": --data-limit " + hex(options.data_limit) + " is not above --data-base " +
           hex(options.data_base);
  }
  return message;
}

CLI::Option* add_output_option(CLI::App& command, std::string& output) {
  return command.add_option("-o,--output", output, "write to FILE, - for standard output")
      ->check(non_empty_path())
      ->capture_default_str();
}

void add_max_input_bytes_option(CLI::App& command, std::uint64_t& max_input_bytes,
                                const std::string& help) {
  command.add_option("--max-input-bytes", max_input_bytes, help)
      ->transform(number_up_to(std::numeric_limits<std::uint64_t>::max()))
      ->capture_default_str();
}

void add_memory_budget_option(CLI::App& command, std::uint64_t& memory_budget) {
  command
      .add_option("--memory-budget", memory_budget,
                  "refuse a command estimated to need more bytes of memory")
      ->transform(number_up_to(std::numeric_limits<std::uint64_t>::max()))
      ->capture_default_str();
}

} // namespace orvik_tool
