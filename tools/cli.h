// The okr tool's frame: the one-line failure report, file names and the
// system's reasons, numbers, and progress on a terminal.
//
// Every failure ends the program through Fail (status 1) or UsageFail
// (status 2) with one line on stderr, "okr: WHAT: TEXT (0xCODE)", TEXT from
// the library's error table, and ": DETAIL" after it where there is more to
// say (the system's reason for a file that failed, a hint). Mistakes in the
// command line use the table's general codes: an unknown command or option
// is 0x4103 "Uknown Token", a missing argument 0x4206 "Missing Parameter", a
// malformed one 0x4107 "Bad Data", options that exclude each other 0x4104.
#ifndef OKR_TOOLS_CLI_H
#define OKR_TOOLS_CLI_H

#include <okr/okr.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace okr_tool {

// Exit statuses.
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

[[noreturn]] void Fail(const std::string& what, ErrCode code, const std::string& detail = "");
[[noreturn]] void UsageFail(const std::string& what, ErrCode code, const std::string& detail = "");

// A warning on stderr, "okr: WHERE: warning: TEXT"; the command goes on.
void Warn(const std::string& where, const std::string& text);

// The exit status of a command that returned `status`, once its output is
// out: output that did not reach standard output (a full disk) is a
// failure, 0x4505 with the system's reason where the flush gives one.
int FinishOutput(int status);

// The system's reason for a file operation: ClearOsError before the library
// call (errno to 0), then OsReason right after it failed gives errno's text,
// or "" when the call left none (a short file, a damaged one).
void ClearOsError();
std::string OsReason();

// Fails for the file `name` with `code` and the system's reason.
[[noreturn]] void FailFile(const std::string& name, ErrCode code);

// The name to hand to the library for a file named `name` on the command
// line. The library reads a leading ':' as its own notation; the tool keeps
// to the platform's paths, so such a name gets "./" in front.
std::string LibraryPath(const std::string& name);

// A name from the command line as std::filesystem takes it, and a path it
// gives back as a name for the library. Both are in the encoding that the
// C library's fopen reads: on Windows the ANSI code page, which a narrow
// std::filesystem::path does not use (it reads bytes as Latin-1 and gives
// UTF-8 back). A path the code page cannot spell ends the program (0x4502).
std::filesystem::path FsPath(const std::string& name);
std::string FsName(const std::filesystem::path& path);

// A name from the command line in UTF-8, for JSON: on Windows converted
// from the code page the file functions read; elsewhere as it is.
std::string Utf8Name(const std::string& name);

// Whether `name` is a directory. The library opens one on some systems and
// not on others; the tool refuses it everywhere as a file it cannot open
// (0x4502 "FILE: File not found", with the reason "Is a directory").
bool IsDirectory(const std::string& name);
[[noreturn]] void FailDirectory(const std::string& name);

// Ends the program unless the file `name` can be opened for reading (a
// directory cannot): for commands that check their inputs before they
// change anything. A streamed input is read here.
void RequireReadable(const std::string& name);

// The whole of the file `name` in a new handle of the current heap; any
// failure, a directory included, ends the program. A streamed input's bytes
// are copied from what was read of it.
Handle LoadWholeFile(const std::string& name);

// Whether `name` is an input that okr reads itself (streamed_input.cpp):
// "-" for standard input, or a pipe or device, which the file layer cannot
// read because it seeks.
bool IsStreamedInput(const std::string& name);

// All the bytes of streamed input `name`, read the first time it is asked
// for (a failure ends the program) and kept for the program's run.
const std::string& StreamedInput(const std::string& name);

// Size of a file in bytes, 0 when it cannot be taken.
uint64_t FileSizeOf(const std::string& name);

// FileSizeOf for a file the command will read through the library, to size
// the heap: one of 2 GiB or more, which the file layer refuses, ends the
// program (0x4506, with that limit). Nothing is read: it sizes a resource
// file, which is never a streamed input ("-" names a file of that name).
uint64_t LibraryInputSizeOf(const std::string& name);

// LibraryInputSizeOf for a settings file or a DATAFILE: a streamed input is
// read here, whole, and its size is that of its bytes.
uint64_t InputSizeOf(const std::string& name);

// Starts the library with a default heap that has room for `dataBytes` of
// file contents three times over, besides the tool's own needs.
void StartLibrary(uint64_t dataBytes);

// Starts the library with a default heap of `heapBytes` (at most the
// largest a heap can be); a failure ends the program.
void StartHeap(uint64_t heapBytes);

// Numbers from the command line: decimal, or hexadecimal after "0x", at
// most `max`. Failing that: UsageFail(what, 0x4107), saying which rule
// (with the largest number, followed by `unit`, for one too large).
uint64_t ParseNumber(const std::string& text, const std::string& what, uint64_t max,
                     const std::string& unit = "");

// A byte count: a number with an optional K or M suffix (KiB, MiB), at most
// `max` bytes; another letter at the end is refused as a suffix.
uint64_t ParseByteCount(const std::string& text, const std::string& what, uint64_t max);

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
