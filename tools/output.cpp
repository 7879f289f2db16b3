// Separate outputs: refused when they are an input, written beside their
// target and renamed over it once complete.
#include "output.h"

#include <okr/okr.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>

#include "cli.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace okr_tool {

namespace {

// What tells two names of one file apart from names of two files.
struct FileId {
  uint64_t volume;
  uint64_t index;
};

#ifdef _WIN32
bool IdOf(const std::string& name, FileId* out) {
  // No access asked for: the handle only reads the file's information, and
  // a directory opens too.
  HANDLE h = CreateFileA(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool ok = GetFileInformationByHandle(h, &info) != 0;
  CloseHandle(h);
  // A failed call leaves `info` unwritten.
  if (ok)
    *out = {info.dwVolumeSerialNumber, uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow};
  return ok;
}

// A device: the reserved names (nul, con, aux, and these with any
// extension) in every directory, which std::filesystem takes for missing
// files or plain ones.
bool IsDevice(const std::string& name) {
  HANDLE h = CreateFileA(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool device = GetFileType(h) != FILE_TYPE_DISK;
  CloseHandle(h);
  return device;
}

// errno for the system's error `code`, as the C library sets it when one of
// its own calls fails so.
int ErrnoOf(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_FILENAME_EXCED_RANGE:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_NETWORK_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
    case ERROR_DRIVE_LOCKED:
      return EACCES;
    case ERROR_NOT_SAME_DEVICE:
      return EXDEV;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return EEXIST;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    default:
      return EINVAL;
  }
}

// Sets errno on failure, as rename does: the reason a failed commit gives.
bool Rename(const std::string& from, const std::string& to) {
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  errno = ErrnoOf(GetLastError());
  return false;
}

// The target's permissions are Windows' own affair (its ACL goes with the
// directory); nothing to carry over.
void KeepMode(const std::string&, const std::string&) {}

bool SyncToDisk(std::FILE* file) {
  return _commit(_fileno(file)) == 0;
}

unsigned long ProcessId() {
  return static_cast<unsigned long>(_getpid());
}
#else
bool IdOf(const std::string& name, FileId* out) {
  struct stat st;
  if (stat(name.c_str(), &st) != 0) return false;
  *out = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  return true;
}

// A device here is a file type of its own, which IsOtherThanFile tests.
bool IsDevice(const std::string&) {
  return false;
}

bool Rename(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

// A replaced file keeps its permissions rather than taking the defaults.
void KeepMode(const std::string& target, const std::string& path) {
  struct stat st;
  if (stat(target.c_str(), &st) == 0) chmod(path.c_str(), st.st_mode & 07777);
}

bool SyncToDisk(std::FILE* file) {
  return fsync(fileno(file)) == 0;
}

unsigned long ProcessId() {
  return static_cast<unsigned long>(getpid());
}
#endif

// Temporary files not yet committed, removed at exit. The list is never
// destroyed: exit handlers may run after static destructors.
std::vector<std::string>& Unfinished() {
  static auto* paths = new std::vector<std::string>;
  return *paths;
}

#ifdef _WIN32
// Ctrl-C, Ctrl-Break and a closed console reach okr in a thread of their
// own, which takes this lock to read the list of unfinished files.
SRWLOCK unfinishedLock = SRWLOCK_INIT;

// Holds that thread off while the list changes.
class HoldStopSignals {
 public:
  HoldStopSignals() { AcquireSRWLockExclusive(&unfinishedLock); }
  ~HoldStopSignals() { ReleaseSRWLockExclusive(&unfinishedLock); }
  HoldStopSignals(const HoldStopSignals&) = delete;
  HoldStopSignals& operator=(const HoldStopSignals&) = delete;
};

// Removes the unfinished files, then ends okr with the status the system's
// own handler gives. The lock stays taken and the exit handlers do not
// run: the main thread may be stopped anywhere, even inside the list.
BOOL WINAPI RemoveUnfinishedAndStop(DWORD) {
  AcquireSRWLockExclusive(&unfinishedLock);
  for (const std::string& path : Unfinished())
    DeleteFileA(path.c_str());
  TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  return TRUE;
}

void RemoveUnfinishedOnStopSignals() {
  SetConsoleCtrlHandler(RemoveUnfinishedAndStop, TRUE);
}
#else
// The signals that end okr by default and that stop it from outside: Ctrl-C,
// kill, a closed terminal, and a reader of its output that went away ("okr
// res pack OUT DIR | head -1" ends it at its next line).
const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

// Holds the stop signals back while the list of unfinished files changes,
// so that the handler below never reads it half-changed.
class HoldStopSignals {
 public:
  HoldStopSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : kStopSignals)
      sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, &saved_);
  }
  ~HoldStopSignals() { sigprocmask(SIG_SETMASK, &saved_, nullptr); }
  HoldStopSignals(const HoldStopSignals&) = delete;
  HoldStopSignals& operator=(const HoldStopSignals&) = delete;

 private:
  sigset_t saved_;
};

// Removes the unfinished files (unlink may be called in a handler), then
// lets the signal end okr as it would have: the handler was reset when it
// was called, and the signal raised here waits until it returns.
void RemoveUnfinishedAndStop(int sig) {
  for (const std::string& path : Unfinished())
    unlink(path.c_str());
  raise(sig);
}

// A stop signal that was ignored when okr started (nohup, a background job
// of a script) stays ignored.
void RemoveUnfinishedOnStopSignals() {
  for (const int sig : kStopSignals) {
    struct sigaction action = {};
    if (sigaction(sig, nullptr, &action) != 0 || action.sa_handler == SIG_IGN) continue;
    action = {};
    action.sa_handler = RemoveUnfinishedAndStop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    sigaction(sig, &action, nullptr);
  }
}
#endif

void Forget(const std::string& path) {
  const HoldStopSignals hold;
  auto& paths = Unfinished();
  paths.erase(std::remove(paths.begin(), paths.end(), path), paths.end());
}

// Whether `name` is there and not a file: a directory, a device, a pipe.
bool IsOtherThanFile(const std::string& name) {
  std::error_code error;
  return IsDevice(name) || (std::filesystem::exists(FsPath(name), error) &&
                            !std::filesystem::is_regular_file(FsPath(name), error));
}

void RemoveUnfinished() {
  const HoldStopSignals hold;
  for (const std::string& path : Unfinished())
    std::remove(path.c_str());
}

#ifndef _WIN32
// The descriptor a path names by its number (/dev/stdin, /dev/stdout,
// /dev/stderr, /dev/fd/N, /proc/self/fd/N), or -1. Opened by its name, such
// a path gives a new opening of the file behind the descriptor, and the
// rename of a replacement would put another file there: the shell's '>>'
// would lose what the file held, and the lines its later commands write
// would go to the old file, no longer in any folder.
int DescriptorNamed(const std::string& name) {
  if (name == "/dev/stdin") return 0;
  if (name == "/dev/stdout") return 1;
  if (name == "/dev/stderr") return 2;
  for (const char* folder : {"/dev/fd/", "/proc/self/fd/"}) {
    const size_t n = std::strlen(folder);
    if (name.compare(0, n, folder) != 0 || name.size() == n || name.size() > n + 9) continue;
    if (name.find_first_not_of("0123456789", n) != std::string::npos) continue;
    return std::atoi(name.c_str() + n);
  }
  return -1;
}

// Writes `size` bytes to descriptor `fd`, at its place and in its mode (a
// '>>' appends), after what okr wrote to its own standard output and error
// so far. False with errno set when it fails.
bool WriteToDescriptor(int fd, const void* bytes, size_t size) {
  std::fflush(stdout);
  std::fflush(stderr);
  const int copy = dup(fd);
  std::FILE* file = copy >= 0 ? fdopen(copy, "wb") : nullptr;
  if (file == nullptr) {
    if (copy >= 0) close(copy);
    return false;
  }
  const bool ok = std::fwrite(bytes, 1, size, file) == size && std::fflush(file) == 0;
  const int saved = errno;
  if (std::fclose(file) != 0 || !ok) {
    if (!ok) errno = saved;
    return false;
  }
  return true;
}
#endif

}  // namespace

bool SameFile(const std::string& a, const std::string& b) {
  FileId x, y;
  return IdOf(a, &x) && IdOf(b, &y) && x.volume == y.volume && x.index == y.index;
}

void RefuseInputAsOutput(const std::string& option, const std::string& name,
                         const std::vector<std::string>& inputs) {
  for (const std::string& input : inputs) {
    if (SameFile(name, input)) {
      UsageFail(option + " " + name, errBadData, "the same file as the input " + input);
    }
  }
}

void RemoveUnfinishedOutputsAtExit() {
  Unfinished();  // made now: a signal handler must not make it
  std::atexit(RemoveUnfinished);
  RemoveUnfinishedOnStopSignals();
}

void FailToMakeBeside(const std::string& name, const std::string& path, ErrCode code) {
  const std::string reason = OsReason();
  std::error_code error;
  if (!std::filesystem::exists(FsPath(name), error)) Fail(name, code, reason);
  const std::string parent = FsName(FsPath(path).parent_path());
  const std::string folder = parent.empty() ? std::string(".") : parent;
  Fail(name, code, reason + " (in " + folder + ", where okr writes its replacement)");
}

TempFile::TempFile(std::string target) : target_(std::move(target)) {
  // A symbolic link is followed, link by link, to the file written rather
  // than the link, as the shell's '>' does, also when that file is not
  // there yet (where canonical() gives up). A loop ends after 40 links,
  // and the last is then replaced.
  std::error_code error;
  for (int links = 0; links < 40 && std::filesystem::is_symlink(FsPath(target_), error); ++links) {
    const std::filesystem::path link = FsPath(target_);
    const std::filesystem::path to = std::filesystem::read_symlink(link, error);
    if (error) break;
    target_ = FsName(to.is_absolute() ? to : link.parent_path() / to);
  }
  // The rename would put a plain file in the place of a device or a pipe
  // (/dev/null, as root, would be lost): only a file is replaced.
  if (IsOtherThanFile(target_)) {
    Fail(target_, errFileUnsupported, "not a regular file");
  }
  // Named in the target's folder, not after the target: a target whose
  // name is near the longest the file system takes leaves no room for a
  // suffix. The process id keeps two runs apart, the counter two files of
  // one run.
  static unsigned counter = 0;
  const std::filesystem::path folder = FsPath(target_).parent_path();
  do {
    path_ = FsName(folder / FsPath(Format("okr-%lu-%u.tmp", ProcessId(), counter++)));
  } while (std::filesystem::exists(FsPath(path_), error));
  const HoldStopSignals hold;
  Unfinished().push_back(path_);
}

TempFile::~TempFile() {
  if (committed_) return;
  std::remove(path_.c_str());
  Forget(path_);
}

void TempFile::Commit() {
  KeepMode(target_, path_);
  ClearOsError();
  if (!Rename(path_, target_)) {
    const std::string reason = OsReason();
    std::remove(path_.c_str());
    Forget(path_);
    Fail(target_, errFileWrite, reason);
  }
  committed_ = true;
  Forget(path_);
}

OutputFile::OutputFile(const std::string& name) : name_(name) {
  if (name.empty()) return;
#ifndef _WIN32
  descriptor_ = DescriptorNamed(name);
  if (descriptor_ >= 0) {
    const int mode = fcntl(descriptor_, F_GETFL);
    if (mode == -1) Fail(name, errFileNotFound, std::strerror(errno));
    if ((mode & O_ACCMODE) == O_RDONLY) Fail(name, errFileUnsupported, "open for reading only");
    return;
  }
#endif
  if (IsDirectory(name)) FailDirectory(name);
  // A device or a pipe (/dev/null, a named pipe) is written as it is, when
  // the bytes are there: only a file can be replaced by another.
  if (IsOtherThanFile(name)) return;
  temp_.emplace(name);
  // Made now and closed again: a file left open would stay behind on
  // Windows if the program ended before Finish.
  ClearOsError();
  std::FILE* file = std::fopen(temp_->path().c_str(), "wb");
  if (file == nullptr || std::fclose(file) != 0)
    FailToMakeBeside(name, temp_->path(), errFileNotFound);
}

void OutputFile::Finish(const void* bytes, size_t size) {
  if (name_.empty()) {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    ClearOsError();
    if (std::fwrite(bytes, 1, size, stdout) != size || std::fflush(stdout) != 0) {
      Fail("standard output", errFileWrite, OsReason());
    }
    return;
  }
#ifndef _WIN32
  if (descriptor_ >= 0) {
    ClearOsError();
    if (!WriteToDescriptor(descriptor_, bytes, size)) Fail(name_, errFileWrite, OsReason());
    return;
  }
#endif
  ClearOsError();
  std::FILE* file = std::fopen(temp_ ? temp_->path().c_str() : name_.c_str(), "wb");
  if (file == nullptr) FailFile(name_, errFileNotFound);
  bool ok = std::fwrite(bytes, 1, size, file) == size && std::fflush(file) == 0 &&
            (!temp_ || SyncToDisk(file));
  const std::string reason = OsReason();
  ok = std::fclose(file) == 0 && ok;
  if (!ok) Fail(name_, errFileWrite, reason.empty() ? OsReason() : reason);
  if (temp_) temp_->Commit();
}

void WriteOutput(const std::string& name, const void* bytes, size_t size) {
  OutputFile(name).Finish(bytes, size);
}

}  // namespace okr_tool
