// Files the okr tool writes beside the files it reads: a separate output
// (-o, --svg, a packed resource file) is never one of the command's inputs,
// and it replaces its target only once it is complete.
#ifndef OKR_TOOLS_OUTPUT_H
#define OKR_TOOLS_OUTPUT_H

#include <okr/err.h>

#include <optional>
#include <string>
#include <vector>

namespace okr_tool {

// Whether `a` and `b` name the same existing file: the same device and
// inode (on Windows, the same volume serial number and file index), however
// they are spelled. False when either does not exist.
bool SameFile(const std::string& a, const std::string& b);

// Refuses, as a mistake in the command line (0x4107, status 2), an output
// `name` given with `option` that is the same file as one of `inputs`.
void RefuseInputAsOutput(const std::string& option, const std::string& name,
                         const std::vector<std::string>& inputs);

// Removes, at exit, every TempFile that was not committed: a failure ends
// the program through exit(), which skips destructors. Called first thing
// in main, so that it runs after the library's own shutdown has closed the
// files it held open. On POSIX systems a signal that stops okr (SIGINT,
// SIGTERM, SIGHUP, SIGPIPE) removes them too, then ends okr as it would
// have.
void RemoveUnfinishedOutputsAtExit();

// A file being written to replace `target` (or the file a symbolic link
// `target` leads to): it lies beside it under a name of its own, and takes
// its place at Commit. One that is not committed is removed when it goes
// out of scope, or at exit.
class TempFile {
 public:
  // Picks a name beside `target` that no file has; creates nothing. A
  // `target` that exists and is not a regular file (a device, a pipe) ends
  // the program (0x4508, "not a regular file"): a rename would replace it.
  explicit TempFile(std::string target);
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  const std::string& path() const { return path_; }

  // Renames the file over the target (on Windows by a move that replaces
  // it), giving it the target's permissions where it had some. Failures end
  // the program (0x4505 with the system's reason), the target unchanged.
  void Commit();

 private:
  std::string target_;
  std::string path_;
  bool committed_ = false;
};

// Ends the program when the file `path` that a TempFile picked for the
// output `name` cannot be made: `code` with the system's reason, which is
// about `path`'s folder; when a file `name` is there already (one the
// shell's '>' would simply write over) the reason names that folder.
[[noreturn]] void FailToMakeBeside(const std::string& name, const std::string& path, ErrCode code);

// A separate output made before the work that fills it, so that a path that
// cannot be written is refused before a long run: the file `name` through a
// TempFile, or standard output when `name` is empty; a device or a pipe is
// written directly, and a name of an open descriptor (/dev/stdout,
// /dev/fd/3) through that descriptor, at its place (a file the shell
// opened with '>>' is appended to, not replaced; one open for reading only
// is refused, 0x4508). A failure ends the program (0x4502 when the file
// cannot be made, 0x4505 when the bytes do not all reach it, with the
// system's reason) and leaves a file `name` as it was.
class OutputFile {
 public:
  explicit OutputFile(const std::string& name);
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Writes the output's `size` bytes and puts the file in place.
  void Finish(const void* bytes, size_t size);

 private:
  std::string name_;
  std::optional<TempFile> temp_;  // none for standard output, a device or a pipe
  int descriptor_ = -1;           // the descriptor a name like /dev/stdout names
};

// Writes `size` bytes to `name` as OutputFile does.
void WriteOutput(const std::string& name, const void* bytes, size_t size);

}  // namespace okr_tool

#endif
