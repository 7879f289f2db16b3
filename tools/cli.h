// The okr tool's frame: command-line arguments, the one-line failure report,
// file names, numbers and type ids, and progress on a terminal.
//
// Every failure ends the program through Fail (status 1) or UsageFail
// (status 2) with one line on stderr, "okr: WHAT: TEXT (0xCODE)", TEXT from
// the library's error table. Mistakes in the command line use the table's
// general codes: an unknown command or option is 0x4103 "Uknown Token", a
// missing argument 0x4206 "Missing Parameter", a malformed one 0x4107 "Bad
// Data".
#ifndef OKR_TOOLS_CLI_H
#define OKR_TOOLS_CLI_H

#include <okr/okr.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace okr_tool {

// Exit statuses.
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

[[noreturn]] void Fail(const std::string& what, ErrCode code);
[[noreturn]] void UsageFail(const std::string& what, ErrCode code);

// The exit status of a command that returned `status`, once its output is
// out: output that did not reach standard output (a full disk) is a
// failure, 0x4505.
int FinishOutput(int status);

// The arguments of one command: options (with their values) and positionals.
// An argument is an option when it starts with "-" and a letter or a second
// "-" ("-5" and "-(1+2)" are positionals); "--" ends the options.
struct Args {
  std::vector<std::string> positionals;
  std::vector<std::pair<std::string, std::string>> options;  // name, value

  bool Has(const std::string& name) const;
  // The last value given for `name`, or `fallback`.
  std::string Value(const std::string& name, const std::string& fallback) const;
  std::vector<std::string> Values(const std::string& name) const;
};

// One option a command accepts; `takesValue` options read the next argument,
// which must not be empty (or the rest of the same one for a short option:
// "-Dw=1").
struct OptionSpec {
  const char* name;
  bool takesValue;
};

// Parses argv[first...] for a command that accepts `options` and needs
// between `minPositionals` and `maxPositionals` positionals; `command` names
// it in messages. "--help" and "-h" are handled by the caller before.
Args ParseArgs(const std::vector<std::string>& argv, const std::string& command,
               const std::vector<OptionSpec>& options, size_t minPositionals,
               size_t maxPositionals);

// The name to hand to the library for a file named `name` on the command
// line. The library reads a leading ':' as its own notation; the tool keeps
// to the platform's paths, so such a name gets "./" in front.
std::string LibraryPath(const std::string& name);

// Whether `name` is a directory. The library opens one on some systems and
// not on others; the tool refuses it everywhere as a file it cannot open
// (0x4502 "FILE: File not found").
bool IsDirectory(const std::string& name);

// The whole of the file `name` in a new handle of the current heap; any
// failure, a directory included, ends the program.
Handle LoadWholeFile(const std::string& name);

// Writes `size` bytes to the file `name`, or to standard output when `name`
// is empty. A file that cannot be made fails with 0x4502, bytes that do not
// all reach it with 0x4505; a file the write made and could not finish is
// removed again.
void WriteOutput(const std::string& name, const void* bytes, size_t size);

// Size of a file in bytes, 0 when it cannot be taken.
uint64_t FileSizeOf(const std::string& name);

// Starts the library with a default heap that has room for `dataBytes` of
// file contents besides the tool's own needs.
void StartLibrary(uint64_t dataBytes);

// Numbers from the command line: decimal, or hexadecimal after "0x".
// Failing that: UsageFail(what, 0x4107).
uint64_t ParseNumber(const std::string& text, const std::string& what, uint64_t max);

// A byte count: a number with an optional K or M suffix (KiB, MiB).
uint64_t ParseByteCount(const std::string& text, const std::string& what, uint64_t max);

// A resource type: four characters, or "0x" and eight hex digits giving the
// four bytes in file order (0x54455854 is "TEXT").
uint32_t ParseType(const std::string& text);
// "TEXT" (bytes outside printable ASCII shown as '.') and "0x54455854".
std::string TypeChars(uint32_t typeId);
std::string TypeHex(uint32_t typeId);
// "TEXT #2", for messages.
std::string ResourceName(uint32_t typeId, uint32_t index);

// "1 byte", "2 bytes": `n` and the noun, with an "s" unless `n` is 1.
std::string Count(uint64_t n, const char* noun);

// A float in the fewest digits that read back as the same float, with ".0"
// when it would otherwise look like an integer.
std::string FormatFloat(float value);

// printf into a std::string.
#ifdef __MINGW32__
#define OKR_PRINTF_FORMAT __MINGW_PRINTF_FORMAT
#else
#define OKR_PRINTF_FORMAT printf
#endif
std::string Format(const char* format, ...) __attribute__((format(OKR_PRINTF_FORMAT, 1, 2)));

// A progress line on stderr, shown only when stderr is a terminal and the
// work has run for a moment; cleared when done, or by a failure's message.
class Progress {
 public:
  Progress(std::string label, uint64_t total);
  ~Progress();
  void Update(uint64_t done);
  // Shows "label..." at once, for work that cannot report its steps.
  void Announce();

 private:
  std::string label_;
  uint64_t total_;
  bool terminal_;
  std::chrono::steady_clock::time_point start_, last_;
};

}  // namespace okr_tool

#endif
