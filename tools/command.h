// The okr tool's commands, each declared once: its name, arguments,
// options and texts. The overview, the command's help and the parsing of
// its command line are all derived from the declaration.
#ifndef OKR_TOOLS_COMMAND_H
#define OKR_TOOLS_COMMAND_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace okr_tool {

using Argv = std::vector<std::string>;

// The arguments of one command, as its declaration parsed them.
struct Args {
  std::vector<std::string> positionals;
  std::vector<std::pair<std::string, std::string>> options;  // name, value

  bool Has(const std::string& name) const;
  // The last value given for `name`, or `fallback`.
  std::string Value(const std::string& name, const std::string& fallback) const;
  std::vector<std::string> Values(const std::string& name) const;
};

// One option of a command.
struct OptionSpec {
  const char* name;   // "--json", "-o"
  const char* value;  // what it takes, "OUT"; null for a flag
  const char* help;   // its lines in the help, '\n' between
  int exclusive = 0;  // options with the same nonzero number exclude each other
  bool repeats = false;
};

constexpr size_t kAnyNumber = SIZE_MAX;

struct CommandSpec {
  const char* name;       // "res add"
  const char* group;      // the overview's section
  const char* arguments;  // "FILE TYPE DATAFILE..."
  size_t minArguments;
  size_t maxArguments;  // kAnyNumber for no limit
  std::vector<OptionSpec> options;
  const char* summary;      // the overview's line
  const char* details;      // the help's text, lines ending in '\n'
  const char* examples;     // lines of examples, or ""
  int (*run)(const Args&);  // the exit status; failures end the program
};

// "okr res add FILE TYPE DATAFILE... [--force]": the command, its arguments
// and its options, exclusive ones as one "[--a|--b]", repeating ones with
// "...".
std::string Usage(const CommandSpec& command);

// The command's whole help: usage, details, options, examples.
std::string Help(const CommandSpec& command);

// Parses the arguments after the command's name. An argument is an option
// when it starts with "-" and a letter or a second "-" ("-5" and "-(1+2)"
// are positionals); "--" ends the options. An option that takes a value
// reads the next argument, which must not be empty, or the rest of the same
// one for a short option ("-Dw=1"). Mistakes end the program through
// UsageFail: an unknown option (0x4103), a missing value or argument
// (0x4206), an argument too many (0x4103), each saying which and followed
// by the command's usage; options that exclude each other (0x4104).
// "--help" and "-h" are handled before.
Args ParseArguments(const CommandSpec& command, const std::vector<std::string>& argv);

// The overview's sections.
inline constexpr char kResGroup[] = "Resource files";
inline constexpr char kTextGroup[] = "Settings files and expressions";
inline constexpr char kHeapGroup[] = "Memory manager";

// The commands, by file.
extern const CommandSpec kResCreate, kResList, kResAdd, kResPack, kResReplace, kResExtract,
    kResRemove, kResCheck, kResCompact, kResNative;
extern const CommandSpec kGet, kEval, kTokens;
extern const CommandSpec kHeap;

}  // namespace okr_tool

#endif
