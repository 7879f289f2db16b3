// okr: the command-line tool of the okr library. One program whose commands
// work on resource files, settings files, expressions and heaps through the
// library's public interface.
#include <cstdio>
#include <cstring>
#include <string>

#include "cli.h"
#include "commands.h"

namespace okr_tool {

namespace {

const char* const kOverview =
    R"(usage: okr COMMAND [ARGUMENTS]

Resource files
  res create FILE [--force]              make an empty resource file
  res list FILE [--json]                 the header and one row per resource
  res add FILE TYPE DATAFILE             add DATAFILE's bytes as a new resource
  res replace FILE TYPE INDEX DATAFILE   give a resource DATAFILE's bytes
  res extract FILE TYPE INDEX [-o OUT]   a resource's bytes, to stdout or OUT
  res remove FILE TYPE INDEX             take a resource out
  res check FILE                         validate, changing nothing; say what is wrong
  res compact FILE [--dry-run]           pack the data area, cut the file
  res native FILE                        rewrite a file of the other byte order

Settings files and expressions
  get FILE KEY [--int|--float|--string] [-D NAME=VALUE]...
                                         read the field behind a keyword
  eval EXPR [-D NAME=VALUE]...           value, type and bits of an expression
  tokens FILE                            each line's tokens as the stream reads them

Memory manager
  heap [--ops N] [--seed S] [--size BYTES] [--svg OUT.svg]
                                         a random workload, statistics and a map

TYPE is four characters (TEXT) or 0x and eight hex digits, the four bytes in
file order (0x54455854 is TEXT). INDEX counts one type's resources from 0.
A command that writes a resource file stores it in this machine's byte order.
FILE names are the platform's paths; a name that begins with ':' names that
file in the current directory (the library's own ':' notation is not used).

On success okr exits with 0. On failure it prints one line to stderr,
  okr: WHAT: TEXT (0xCODE)
with TEXT and CODE from the library's error table, and exits with 1 (2 for a
mistake in the command line: 0x4103 an unknown command or option, 0x4206 a
missing argument, 0x4107 a malformed one, 0x4104 options that exclude each
other).

'okr help COMMAND' or 'okr COMMAND --help' tells more about a command.
)";

struct Command {
  const char* name;
  int (*run)(const Argv&);
  const char* help;
};

const Command kCommands[] = {
    {"res create", ResCreate,
     R"(usage: okr res create FILE [--force]

Makes FILE an empty resource file: a 32-byte header, an empty data area and
a directory without types. An existing FILE is left alone (0x420C) unless
--force is given.
)"},
    {"res list", ResList,
     R"(usage: okr res list FILE [--json]

Prints the header of the resource file FILE (byte order, size, where the data
area and the directory lie and how long they are, the file flags) and one row
per resource: its type as four characters and in hex, its index among the
resources of its type, its data offset (from the start of the data area), its
size and its attributes.

  --json   the same as one JSON object: file, byteOrder, native, fileSize,
           dataStart, dataLength, dirOffset, dirLength, fileFlags, and
           resources, a list of {type, typeHex, index, offset, size,
           attributes}. Bytes of a type outside printable ASCII are written
           as \u00XX escapes, those of a file name only when it is not
           UTF-8.
)"},
    {"res add", ResAdd,
     R"(usage: okr res add FILE TYPE DATAFILE

Adds the bytes of DATAFILE to the resource file FILE as the last resource of
TYPE, and prints the index it got. The file is written, compacted and read
back before okr reports success.

  okr res add game.res TEXT greeting.txt
)"},
    {"res replace", ResReplace,
     R"(usage: okr res replace FILE TYPE INDEX DATAFILE

Replaces the bytes of resource INDEX of TYPE in FILE by those of DATAFILE.
A resource that grows is appended to the data area, which is compacted again
before the file is closed.

  okr res replace game.res TEXT 0 greeting.txt
)"},
    {"res extract", ResExtract,
     R"(usage: okr res extract FILE TYPE INDEX [-o OUT]

Writes the bytes of resource INDEX of TYPE in FILE to standard output, or to
the file OUT. FILE is opened read-only.

  okr res extract game.res TEXT 0 -o greeting.txt
)"},
    {"res remove", ResRemove,
     R"(usage: okr res remove FILE TYPE INDEX

Takes resource INDEX of TYPE out of FILE; the resources of TYPE behind it
move up by one index, and a type left without resources disappears.
)"},
    {"res check", ResCheck,
     R"(usage: okr res check FILE

Checks the resource file FILE without changing it: the library must accept
its header and directory, and every resource must read. On success it prints
a summary and notes (bytes in gaps, bytes behind the file's contents). A file
the library refuses gets one line per problem found in its header and
directory (a piece that runs past the end of the file, a version word in
neither byte order, offsets outside the directory, resources outside the
data area or overlapping) and the library's code.
)"},
    {"res compact", ResCompact,
     R"(usage: okr res compact FILE [--dry-run]

Packs the resources of FILE one after the other from the start of the data
area, writes the directory right behind them, cuts the file there, and
reports the bytes reclaimed.

  --dry-run   report the bytes a compaction would reclaim, change nothing
)"},
    {"res native", ResNative,
     R"(usage: okr res native FILE

Rewrites a resource file of the other byte order in the byte order of this
machine (the header and directory words; the resources' bytes are left as
they are). The file is compacted on the way. A file that is native already
is refused with 0x4587.
)"},
    {"get", Get,
     R"(usage: okr get FILE KEY [--int|--float|--string] [-D NAME=VALUE]...

Finds the keyword KEY in the settings file FILE and prints the field behind
it. A field that begins with a double quote, or with '<' closed on the same
line, is read as a string (quotes stripped); any other field is evaluated as
an expression and printed as an integer or a float (with a decimal point).

  --int      evaluate, and truncate a float to an integer
  --float    evaluate, and convert an integer to a float
  --string   read the next token as a string
  -D NAME=VALUE
             define a variable for the expressions; VALUE is an expression
             itself (earlier variables may appear in it), and its result
             makes the variable an integer (1280, $500) or a float (2.0).

A field that does not evaluate fails with its place,
  okr: FILE:LINE:COLUMN: TEXT (0xCODE)
where COLUMN points at the token the evaluator stopped at.

  okr get settings.txt width -D screenWidth=1280
)"},
    {"eval", Eval,
     R"(usage: okr eval EXPR [-D NAME=VALUE]...

Evaluates the expression EXPR as a settings file's field would be, and prints
its value, its type (int or float) and its 32 bits in hex. Integers are
32-bit and wrap; '/' always gives a float; '\' is the integer remainder; '&'
is exclusive-or. An error names its column: okr: eval:1:COLUMN: TEXT.
Write 'okr eval -- -5' for an expression that looks like an option.

  okr eval '($20 + %101) * 2'      74 int 0x0000004A
  okr eval '7 / 2'                 3.5 float 0x40600000
)"},
    {"tokens", Tokens,
     R"(usage: okr tokens FILE

Prints, for each line of the settings file FILE that holds tokens, its
number and its tokens in brackets, as the text stream reads them: blanks and
commas separate, ';' and '//' start comments, quoted tokens keep their
quotes. Bytes outside printable ASCII show as \xNN.
)"},
    {"heap", HeapWorkload,
     R"(usage: okr heap [--ops N] [--seed S] [--size BYTES] [--svg OUT.svg]

Creates a heap and runs a random workload on it: allocations of mostly small
blocks, disposals, resizes, locks and locked pointers. Then prints the heap's
statistics, has the heap compacted, prints them again, and checks that every
live block kept its contents.

  --ops N        operations to run (20000)
  --seed S       seed of the random operations (1); a seed repeats a run
  --size BYTES   size of the heap (1M); K and M suffixes count KiB and MiB
  --svg OUT.svg  draw a heap map before and after compaction: blocks in
                 address order, row by row, coloured by kind (pools, blocks
                 in use, locked blocks, free blocks), with a legend and a
                 scale. Open it in a web browser; hover a block for its place
                 and size.
)"},
};

const Command* Find(const std::string& name) {
  for (const Command& c : kCommands) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

void PrintResHelp() {
  std::printf("usage: okr res SUBCOMMAND FILE [ARGUMENTS]\n\n");
  for (const Command& c : kCommands) {
    if (std::strncmp(c.name, "res ", 4) != 0) continue;
    const char* usage = c.help + std::strlen("usage: okr ");
    std::printf("  %.*s\n", static_cast<int>(std::strcspn(usage, "\n")), usage);
  }
  std::printf("\n'okr help res SUBCOMMAND' tells more.\n");
}

// okr help [COMMAND...]
int Help(const Argv& topic) {
  std::string name;
  for (const std::string& word : topic)
    name += (name.empty() ? "" : " ") + word;
  if (name.empty()) {
    std::fputs(kOverview, stdout);
  } else if (name == "res") {
    PrintResHelp();
  } else if (const Command* c = Find(name)) {
    std::fputs(c->help, stdout);
  } else if (name != "help") {
    UsageFail("help " + name, errUnknownToken);
  } else {
    std::printf("usage: okr help [COMMAND]\n");
  }
  return 0;
}

bool AsksForHelp(const Argv& args) {
  for (const std::string& arg : args) {
    if (arg == "--") return false;
    if (arg == "--help" || arg == "-h") return true;
  }
  return false;
}

int Run(const Argv& argv) {
  if (argv.empty() || argv[0] == "--help" || argv[0] == "-h") return Help({});
  if (argv[0] == "help") return Help(Argv(argv.begin() + 1, argv.end()));
  if (argv[0] == "--version") {
    std::printf("okr %s\n", OKR_VERSION_STRING);
    return 0;
  }
  // "res" takes a subcommand; every other command is one word.
  const size_t words = argv[0] == "res" && argv.size() > 1 && argv[1][0] != '-' ? 2 : 1;
  std::string name = argv[0];
  if (words == 2) name += " " + argv[1];
  const Argv rest(argv.begin() + static_cast<long>(words), argv.end());
  if (name == "res") {
    if (argv.size() == 1 || AsksForHelp(rest)) return Help({"res"});
    UsageFail("res " + argv[1], errUnknownToken);
  }
  const Command* command = Find(name);
  if (command == nullptr) UsageFail(name, errUnknownToken);
  if (AsksForHelp(rest)) return Help({name});
  return command->run(rest);
}

}  // namespace

}  // namespace okr_tool

int main(int argc, char** argv) {
  return okr_tool::FinishOutput(okr_tool::Run(okr_tool::Argv(argv + 1, argv + argc)));
}
