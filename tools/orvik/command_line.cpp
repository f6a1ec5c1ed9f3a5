// The command line around the option parser.

#include "command_line.hpp"

#include "nearest_name.hpp"

#include <algorithm>
#include <cctype>
#include <optional>

namespace orvik_tool {
namespace {

/// An argument that the parser reads as an option.
struct OptionArgument {
  /// The name the parser looks the option up by: "--tiles", "-o".
  std::string name;
  /// The argument as written, up to any '=': "--tiels", "-tiles".
  std::string written;
  /// Whether a value came with it: "--tiles=5", "-ofile".
  bool has_value = false;
  /// For a short option, the text after its letter, which a flag passes on as further flags.
  std::string short_rest;
};

/// `argument` as the parser reads it in `scope`: a long option "--name" or "--name=value", a
/// short option "-n" with anything after its letter, or nothing for a positional argument ("-",
/// a negative number where `scope` has no option named by its first digit).
std::optional<OptionArgument> as_option(const CLI::App& scope, const std::string& argument) {
  const std::string written = argument.substr(0, argument.find('='));
  std::string name;
  std::string value;
  if (CLI::detail::split_long(argument, name, value)) {
    return OptionArgument{"--" + name, written, !value.empty(), {}};
  }
  if (!CLI::detail::split_short(argument, name, value)) {
    return std::nullopt;
  }
  const bool digit = std::isdigit(static_cast<unsigned char>(name.front())) != 0;
  if (digit && scope.get_option_no_throw("-" + name) == nullptr) {
    return std::nullopt;
  }
  return OptionArgument{"-" + name, written, !value.empty(), value};
}

/// Every name of every option of `command`, its option groups' included, as typed: "--tiles",
/// "-o", in the order they were added.
std::vector<std::string> option_names(const CLI::App& command) {
  std::vector<const CLI::App*> scopes{&command};
  for (const CLI::App* group :
       command.get_subcommands([](const CLI::App* sub) { return sub->get_name().empty(); })) {
    scopes.push_back(group);
  }
  std::vector<std::string> names;
  for (const CLI::App* scope : scopes) {
    for (const CLI::Option* option : scope->get_options()) {
      for (const std::string& name : option->get_lnames()) {
        names.push_back("--" + name);
      }
      for (const std::string& name : option->get_snames()) {
        names.push_back("-" + name);
      }
    }
  }
  return names;
}

/// The commands of `app` by name.
std::vector<std::string> command_names(const CLI::App& app) {
  std::vector<std::string> names;
  for (const CLI::App* command :
       app.get_subcommands([](const CLI::App* sub) { return !sub->get_name().empty(); })) {
    names.push_back(command->get_name());
  }
  return names;
}

/// "unknown WHAT NAME", with the nearest of `candidates` where there is one.
ToolFailure unknown(const std::string& what, const std::string& name,
                    const std::vector<std::string>& candidates) {
  std::string message = "unknown " + what + " " + name;
  if (const std::string nearest = nearest_name(name, candidates); !nearest.empty()) {
    message += " (did you mean " + nearest + "?)";
  }
  return tool_error(exit_usage_error, message);
}

} // namespace

ToolResult<void> check_arguments(const CLI::App& app, const std::vector<std::string>& arguments) {
  const CLI::App* scope = &app;
  std::optional<ToolFailure> failure;
  for (std::size_t i = 0; i < arguments.size() && arguments[i] != "--"; ++i) {
    std::optional<OptionArgument> option = as_option(*scope, arguments[i]);
    if (!option) {
      if (scope != &app) {
        continue;
      }
      const std::vector<const CLI::App*> named = app.get_subcommands([&](const CLI::App* sub) {
        return !sub->get_name().empty() && sub->check_name(arguments[i]);
      });
      if (!named.empty()) {
        scope = named.front();
      } else if (!failure) {
        failure = unknown("command", arguments[i], command_names(app));
      }
      continue;
    }
    // A short flag passes the letters after it on as flags of their own: "-hv" is "-h -v".
    while (option) {
      const CLI::Option* known = scope->get_option_no_throw(option->name);
      if (known == nullptr) {
        if (!failure) {
          failure = unknown("option", option->written, option_names(*scope));
        }
        break;
      }
      if (known == scope->get_help_ptr() || known == scope->get_help_all_ptr() ||
          known == app.get_version_ptr()) {
        return {};
      }
      const bool flag = known->get_items_expected_max() == 0;
      if (flag && !option->short_rest.empty()) {
        option = as_option(*scope, "-" + option->short_rest);
        continue;
      }
      if (!flag && !option->has_value) {
        // The values the option needs are taken whatever they look like, as the parser does.
        i += static_cast<std::size_t>(
            std::max(0, std::min(known->get_type_size_min(), known->get_items_expected_min())));
      }
      break;
    }
  }
  if (failure) {
    return *failure;
  }
  return {};
}

std::string parse_failure_message(const CLI::App* app, const CLI::Error& error) {
  std::string message = CLI::FailureMessage::simple(app, error);
  const std::string_view first_word =
      std::string_view(message).substr(0, message.find_first_of(" :\n"));
  const bool name_in_capitals =
      first_word.size() > 1 && std::none_of(first_word.begin(), first_word.end(), [](char c) {
        return std::islower(static_cast<unsigned char>(c)) != 0;
      });
  if (!message.empty() && !name_in_capitals) {
    message.front() = static_cast<char>(std::tolower(static_cast<unsigned char>(message.front())));
  }
  return "orvik: error: " + message;
}

std::string HelpFormatter::make_usage(const CLI::App* app, std::string name) const {
  std::string usage = CLI::Formatter::make_usage(app, std::move(name));
  std::string grouped;
  for (const CLI::App* group :
       app->get_subcommands([](const CLI::App* sub) { return sub->get_name().empty(); })) {
    for (const CLI::Option* option :
         group->get_options([](const CLI::Option* opt) { return opt->get_positional(); })) {
      grouped += " " + make_option_usage(option);
    }
  }
  // The parser's usage line ends with its newline.
  usage.insert(usage.size() - 1, grouped);
  return usage;
}

} // namespace orvik_tool
