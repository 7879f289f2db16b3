// Help and parsing derived from a command's declaration.
#include "command.h"

#include <algorithm>
#include <cctype>

#include "cli.h"

namespace okr_tool {

namespace {

// Column at which option texts start in a help.
constexpr size_t kOptionColumn = 17;

bool IsOption(const std::string& arg) {
  return arg.size() >= 2 && arg[0] == '-' &&
         (arg[1] == '-' || std::isalpha(static_cast<unsigned char>(arg[1])));
}

const OptionSpec* FindOption(const CommandSpec& command, const std::string& name) {
  for (const OptionSpec& o : command.options) {
    if (name == o.name) return &o;
  }
  return nullptr;
}

// "--force", "-o OUT".
std::string OptionWords(const OptionSpec& o) {
  return o.value == nullptr ? o.name : std::string(o.name) + " " + o.value;
}

// "--int, --float and --string": the options of one exclusive group.
std::string GroupNames(const CommandSpec& command, int group) {
  std::vector<std::string> names;
  for (const OptionSpec& o : command.options) {
    if (o.exclusive == group) names.push_back(o.name);
  }
  std::string text;
  for (size_t i = 0; i < names.size(); ++i) {
    text += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
  }
  return text;
}

// `text` with every line after the first indented by `indent` spaces.
std::string Indented(const std::string& text, size_t indent) {
  std::string out;
  for (const char c : text) {
    out += c;
    if (c == '\n') out.append(indent, ' ');
  }
  return out;
}

// The name of positional argument `i` in the declaration, "DATAFILE" for
// the repeated last one of "FILE TYPE DATAFILE...".
std::string ArgumentName(const CommandSpec& command, size_t i) {
  std::vector<std::string> words(1);
  for (const char* c = command.arguments; *c != '\0'; ++c) {
    if (*c == ' ') {
      words.emplace_back();
    } else if (*c != '.') {
      words.back() += *c;
    }
  }
  return words[std::min(i, words.size() - 1)];
}

// A mistake in the command line: what went wrong and the command's usage,
// so that the one line says what to type.
[[noreturn]] void Misused(const CommandSpec& command, const std::string& what, ErrCode code,
                          const std::string& problem) {
  UsageFail(what, code, problem + " (usage: " + Usage(command) + ")");
}

void RefuseExclusive(const CommandSpec& command, const Args& args) {
  for (const OptionSpec& o : command.options) {
    if (o.exclusive == 0) continue;
    int given = 0;
    for (const OptionSpec& other : command.options) {
      given += other.exclusive == o.exclusive && args.Has(other.name);
    }
    if (given > 1) {
      Misused(command, std::string(command.name) + ": " + GroupNames(command, o.exclusive),
              errUnsupported, "give one of them");
    }
  }
}

}  // namespace

bool Args::Has(const std::string& name) const {
  for (const auto& [option, value] : options) {
    if (option == name) return true;
  }
  return false;
}

std::string Args::Value(const std::string& name, const std::string& fallback) const {
  std::string result = fallback;
  for (const auto& [option, value] : options) {
    if (option == name) result = value;
  }
  return result;
}

std::vector<std::string> Args::Values(const std::string& name) const {
  std::vector<std::string> result;
  for (const auto& [option, value] : options) {
    if (option == name) result.push_back(value);
  }
  return result;
}

std::string Usage(const CommandSpec& command) {
  std::string usage = std::string("okr ") + command.name;
  if (*command.arguments != '\0') usage += std::string(" ") + command.arguments;
  for (size_t i = 0; i < command.options.size(); ++i) {
    const OptionSpec& o = command.options[i];
    if (o.exclusive != 0 && i > 0 && command.options[i - 1].exclusive == o.exclusive) continue;
    std::string words = OptionWords(o);
    for (size_t k = i + 1; o.exclusive != 0 && k < command.options.size() &&
                           command.options[k].exclusive == o.exclusive;
         ++k) {
      // (In two steps: g++ 12 at -O3 warns falsely of a literal + a temporary.)
      words += '|';
      words += OptionWords(command.options[k]);
    }
    usage += " [" + words + "]" + (o.repeats ? "..." : "");
  }
  return usage;
}

std::string Help(const CommandSpec& command) {
  std::string help = "usage: " + Usage(command) + "\n\n" + command.details;
  if (!command.options.empty()) help += "\n";
  for (const OptionSpec& o : command.options) {
    std::string words = "  ";
    words += OptionWords(o);
    // A long option's text starts on the next line.
    if (words.size() + 2 > kOptionColumn) {
      words += '\n';
      words.append(kOptionColumn, ' ');
    } else {
      words.append(kOptionColumn - words.size(), ' ');
    }
    help += words + Indented(o.help, kOptionColumn) + "\n";
  }
  if (*command.examples != '\0') {
    help += '\n';
    help += command.examples;
  }
  return help;
}

Args ParseArguments(const CommandSpec& command, const std::vector<std::string>& argv) {
  const std::string name = command.name;
  Args args;
  bool optionsEnded = false;
  for (size_t i = 0; i < argv.size(); ++i) {
    const std::string& arg = argv[i];
    if (optionsEnded || !IsOption(arg)) {
      args.positionals.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    // A short option may carry its value: "-Dname=value", "-oOUT".
    const bool attached = arg[1] != '-' && arg.size() > 2;
    const std::string optionName = attached ? arg.substr(0, 2) : arg;
    const OptionSpec* option = FindOption(command, optionName);
    if (option == nullptr || (attached && option->value == nullptr)) {
      Misused(command, name + " " + arg, errUnknownToken, "no such option");
    }
    if (option->value == nullptr) {
      args.options.emplace_back(optionName, "");
    } else if (attached) {
      args.options.emplace_back(optionName, arg.substr(2));
    } else if (i + 1 < argv.size() && !argv[i + 1].empty()) {
      args.options.emplace_back(optionName, argv[++i]);
    } else {
      // An empty value ("-o \"$OUT\"" with OUT unset) is no value either.
      Misused(command, name + " " + arg, errMissingParameter, "no " + std::string(option->value));
    }
  }
  RefuseExclusive(command, args);
  if (args.positionals.size() < command.minArguments) {
    Misused(command, name, errMissingParameter,
            "no " + ArgumentName(command, args.positionals.size()));
  }
  if (args.positionals.size() > command.maxArguments) {
    Misused(command, name + " " + args.positionals[command.maxArguments], errUnknownToken,
            "an argument too many");
  }
  return args;
}

}  // namespace okr_tool
