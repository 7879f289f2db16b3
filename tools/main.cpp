// okr: the command-line tool of the okr library. One program whose commands
// work on resource files, settings files, expressions and heaps through the
// library's public interface; each command is declared once (command.h),
// and the overview below is made from the declarations.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "command.h"
#include "output.h"

#ifdef __MINGW32__
// No Windows shell expands wildcards, so the C runtime expands the * and ?
// of unquoted arguments before main, as a Unix shell would: "okr res add
// x.res TEXT *.txt" adds the same files on both. A pattern that matches no
// file stays as written, and a quoted argument ("2 * 3") is left alone.
extern "C" {
int _dowildcard = -1;
}
#endif

namespace okr_tool {

namespace {

// Every command, in the overview's order; a group starts where its name
// changes.
const CommandSpec* const kCommands[] = {
    &kResCreate, &kResList,    &kResAdd,    &kResPack, &kResReplace, &kResExtract, &kResRemove,
    &kResCheck,  &kResCompact, &kResNative, &kGet,     &kEval,       &kTokens,     &kHeap,
};

// Column at which the overview's summaries start.
constexpr size_t kSummaryColumn = 41;

const char* const kOverviewEnd =
    R"(TYPE is four characters (TEXT) or 0x and eight hex digits, the four bytes in
file order (0x54455854 is TEXT). INDEX counts one type's resources from 0
(decimal, or hex after 0x, as every number okr reads).
A command that writes a resource file stores it in this machine's byte order.
FILE names are the platform's paths; a name that begins with ':' names that
file in the current directory (the library's own ':' notation is not used).
A settings FILE and a DATAFILE named - are read from standard input.
On Windows okr expands the wildcards * and ? of unquoted arguments itself,
as a Unix shell does for it.

On success okr exits with 0. On failure it prints one line to stderr,
  okr: WHAT: TEXT (0xCODE)
with TEXT and CODE from the library's error table, followed by the system's
reason where a file failed, or by what to do; it exits with 1, or 2 for a
mistake in the command line (0x4103 an unknown command or option, 0x4206 a
missing argument, 0x4107 a malformed one, 0x4104 options that exclude each
other), which ends with the command's usage where one was named.

'okr help COMMAND' or 'okr COMMAND --help' tells more about a command;
'okr --version' prints okr's version.
)";

const CommandSpec* Find(const std::string& name) {
  for (const CommandSpec* c : kCommands) {
    if (name == c->name) return c;
  }
  return nullptr;
}

// Edits (insertions, deletions, replacements, swaps of neighbours) that
// turn `a` into `b`: the optimal string alignment distance.
size_t Edits(const std::string& a, const std::string& b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) {
    for (size_t j = 0; j <= b.size(); ++j) {
      if (i == 0 || j == 0) {
        d[i][j] = i + j;
        continue;
      }
      d[i][j] = std::min(
          {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

// Fails for the unknown command `name` (`what` in the message), naming the
// commands a typo or two away from it ("did you mean 'okr res list'?"), else
// where to find them.
[[noreturn]] void UnknownCommand(const std::string& what, const std::string& name) {
  std::vector<std::string> names = {"res", "help", "--version"};
  for (const CommandSpec* c : kCommands)
    names.push_back(c->name);
  constexpr size_t kMostEdits = 2;
  size_t best = kMostEdits + 1;
  std::string closest;
  for (const std::string& candidate : names) {
    const size_t edits = Edits(name, candidate);
    if (edits > kMostEdits) continue;
    if (edits < best) closest.clear(), best = edits;
    if (edits == best) closest += (closest.empty() ? "'okr " : " or 'okr ") + candidate + "'";
  }
  const bool res = name.compare(0, 4, "res ") == 0;
  const std::string help = res ? "'okr help res' lists them" : "'okr help' lists the commands";
  UsageFail(what, errUnknownToken, closest.empty() ? help : "did you mean " + closest + "?");
}

// "  res add FILE TYPE DATAFILE...    add ...": a long usage gets its
// summary on a line of its own.
std::string OverviewLine(const CommandSpec& c) {
  std::string line = "  " + Usage(c).substr(std::strlen("okr "));
  if (line.size() + 1 > kSummaryColumn) line += "\n" + std::string(kSummaryColumn - 1, ' ');
  line.resize(std::max(line.size(), kSummaryColumn - 1), ' ');
  return line + c.summary + "\n";
}

std::string Overview() {
  std::string text = "usage: okr COMMAND [ARGUMENTS]\n";
  const char* group = "";
  for (const CommandSpec* c : kCommands) {
    if (std::strcmp(group, c->group) != 0) text += std::string("\n") + (group = c->group) + "\n";
    text += OverviewLine(*c);
  }
  return text + "\n" + kOverviewEnd;
}

std::string ResOverview() {
  std::string text = "usage: okr res SUBCOMMAND ARGUMENTS\n\n";
  for (const CommandSpec* c : kCommands) {
    if (std::strncmp(c->name, "res ", 4) == 0) text += "  " + Usage(*c).substr(4) + "\n";
  }
  return text + "\n'okr help res SUBCOMMAND' tells more.\n";
}

// Whether the words of `topic` before its last name a command ("get" in
// "get extra"): the rest is then an argument too many, not a typo.
bool FollowsCommand(const Argv& topic) {
  std::string name;
  for (size_t i = 0; i + 1 < topic.size(); ++i) {
    name += (name.empty() ? "" : " ") + topic[i];
    if (name == "help" || Find(name) != nullptr) return true;
  }
  return false;
}

// okr help [COMMAND...]
int Help(const Argv& topic) {
  std::string name;
  for (const std::string& word : topic)
    name += (name.empty() ? "" : " ") + word;
  if (FollowsCommand(topic)) {
    UsageFail("help " + name, errUnknownToken, "an argument too many (usage: okr help [COMMAND])");
  }
  if (name.empty()) {
    std::fputs(Overview().c_str(), stdout);
  } else if (name == "res") {
    std::fputs(ResOverview().c_str(), stdout);
  } else if (const CommandSpec* c = Find(name)) {
    std::fputs(okr_tool::Help(*c).c_str(), stdout);
  } else if (name != "help") {
    UnknownCommand("help " + name, name);
  } else {
    std::printf("usage: okr help [COMMAND]\n");
  }
  return 0;
}

// A command line without a command is a mistake: the usage goes to stderr.
int MissingCommand(const std::string& usage) {
  std::fputs(usage.c_str(), stderr);
  return kExitUsage;
}

bool AsksForHelp(const Argv& args) {
  for (const std::string& arg : args) {
    if (arg == "--") return false;
    if (arg == "--help" || arg == "-h") return true;
  }
  return false;
}

int Run(const Argv& argv) {
  if (argv.empty()) return MissingCommand(Overview());
  if (argv[0] == "--help" || argv[0] == "-h") return Help({});
  if (argv[0] == "help") return Help(Argv(argv.begin() + 1, argv.end()));
  if (argv[0] == "--version") {
    if (argv.size() > 1) {
      UsageFail("--version " + argv[1], errUnknownToken,
                "an argument too many (usage: okr --version)");
    }
    std::printf("okr %s\n", OKR_VERSION_STRING);
    return 0;
  }
  // "res" takes a subcommand; every other command is one word.
  const size_t words = argv[0] == "res" && argv.size() > 1 && argv[1][0] != '-' ? 2 : 1;
  std::string name = argv[0];
  if (words == 2) name += " " + argv[1];
  const Argv rest(argv.begin() + static_cast<long>(words), argv.end());
  if (name == "res") {
    if (AsksForHelp(rest)) return Help({"res"});
    if (argv.size() == 1) return MissingCommand(ResOverview());
    UnknownCommand("res " + argv[1], "res " + argv[1]);
  }
  const CommandSpec* command = Find(name);
  if (command == nullptr) UnknownCommand(name, name);
  if (AsksForHelp(rest)) return Help({name});
  return command->run(ParseArguments(*command, rest));
}

}  // namespace

}  // namespace okr_tool

int main(int argc, char** argv) {
  okr_tool::RemoveUnfinishedOutputsAtExit();
  return okr_tool::FinishOutput(okr_tool::Run(okr_tool::Argv(argv + 1, argv + argc)));
}
