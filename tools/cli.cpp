// The okr tool's frame: failures, file names, numbers and progress.
#include "cli.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <io.h>
#include <windows.h>
#define OKR_ISATTY(fd) _isatty(fd)
#define OKR_FILENO(f) _fileno(f)
#else
#include <unistd.h>
#define OKR_ISATTY(fd) isatty(fd)
#define OKR_FILENO(f) fileno(f)
#endif

namespace okr_tool {

namespace {

int uchar(char c) {
  return static_cast<unsigned char>(c);
}

// Width of the progress line on the terminal, 0 when none is shown: a
// failure clears it first, since exit() skips the Progress destructor.
int progressWidth = 0;

void ClearProgress() {
  if (progressWidth == 0) return;
  std::fprintf(stderr, "\r%*s\r", progressWidth, "");
  progressWidth = 0;
}

[[noreturn]] void Report(const std::string& what, ErrCode code, const std::string& detail,
                         int status) {
  std::fflush(stdout);
  ClearProgress();
  std::fprintf(stderr, "okr: %s: %s (0x%04X)%s%s\n", what.c_str(), ErrGetText(code),
               static_cast<unsigned>(code), detail.empty() ? "" : ": ", detail.c_str());
  std::exit(status);
}

}  // namespace

void Fail(const std::string& what, ErrCode code, const std::string& detail) {
  Report(what, code, detail, kExitFailure);
}

void UsageFail(const std::string& what, ErrCode code, const std::string& detail) {
  Report(what, code, detail, kExitUsage);
}

void Warn(const std::string& where, const std::string& text) {
  std::fflush(stdout);
  ClearProgress();
  std::fprintf(stderr, "okr: %s: warning: %s\n", where.c_str(), text.c_str());
}

int FinishOutput(int status) {
  // A write that failed earlier left the error flag. The flush says why when
  // it fails itself (glibc tries the bytes still buffered again); Windows'
  // C library has dropped them and sets no errno here, so the reason is the
  // one the failed write left (commands print their results after their
  // file work, which clears errno before each step it reports).
  const bool failed = std::ferror(stdout) != 0;
  const int earlier = errno;
  ClearOsError();
  if (std::fflush(stdout) != 0 || failed) {
    if (errno == 0 && failed) errno = earlier;
    Fail("standard output", errFileWrite, OsReason());
  }
  return status;
}

void ClearOsError() {
  errno = 0;
}

std::string OsReason() {
  return errno == 0 ? "" : std::strerror(errno);
}

void FailFile(const std::string& name, ErrCode code) {
  std::string reason = OsReason();
#ifdef _WIN32
  // The C runtime expanded the wildcards already, and a Windows name holds
  // neither: a pattern left as written matched nothing. A '?' may also be
  // what the conversion of the command line put for a character that the
  // system's code page lacks.
  if (name.find_first_of("*?") != std::string::npos)
    reason += std::string(reason.empty() ? "" : ": ") + "no file matches the pattern";
  if (name.find('?') != std::string::npos)
    reason += " (or a '?' stands for a character outside the system's code page)";
#endif
  Fail(name, code, reason);
}

std::string LibraryPath(const std::string& name) {
  return !name.empty() && name[0] == ':' ? "./" + name : name;
}

#ifdef _WIN32
namespace {

// The code page the narrow file functions use.
UINT FileCodePage() {
  return AreFileApisANSI() ? CP_ACP : CP_OEMCP;
}

// `wide` in code page `page`; `lossy` (null for UTF-8 and UTF-7, which
// take no such flag and lose nothing) tells whether a character had no
// spelling there. Empty when the conversion fails.
std::string Narrow(const std::wstring& wide, UINT page, BOOL* lossy) {
  const int size = static_cast<int>(wide.size());
  const int length = WideCharToMultiByte(page, 0, wide.data(), size, nullptr, 0, nullptr, lossy);
  if (length <= 0) return {};
  std::string text(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(page, 0, wide.data(), size, text.data(), length, nullptr, lossy);
  return text;
}

}  // namespace

std::filesystem::path FsPath(const std::string& name) {
  if (name.empty()) return {};
  const int size = static_cast<int>(name.size());
  const int length = MultiByteToWideChar(FileCodePage(), 0, name.data(), size, nullptr, 0);
  std::wstring wide(static_cast<size_t>(length > 0 ? length : 0), L'\0');
  if (length > 0) MultiByteToWideChar(FileCodePage(), 0, name.data(), size, wide.data(), length);
  return wide;
}

std::string FsName(const std::filesystem::path& path) {
  const std::wstring& wide = path.native();
  if (wide.empty()) return {};
  BOOL lossy = FALSE;
  const UINT page = FileCodePage();
  const std::string name =
      Narrow(wide, page, page == CP_UTF8 || page == CP_UTF7 ? nullptr : &lossy);
  if (name.empty() || lossy)
    Fail(name, errFileNotFound, "the name has characters outside the system's code page");
  return name;
}

std::string Utf8Name(const std::string& name) {
  const std::string text = Narrow(FsPath(name).native(), CP_UTF8, nullptr);
  return text.empty() ? name : text;
}
#else
std::filesystem::path FsPath(const std::string& name) {
  return name;
}

std::string Utf8Name(const std::string& name) {
  return name;
}

std::string FsName(const std::filesystem::path& path) {
  return path.string();
}
#endif

bool IsDirectory(const std::string& name) {
  std::error_code error;
  return std::filesystem::is_directory(FsPath(name), error);
}

void FailDirectory(const std::string& name) {
  Fail(name, errFileNotFound, std::strerror(EISDIR));
}

namespace {

// `bytes` in a new handle of the current heap; failing that, the program
// ends, naming `name`.
Handle CopyToHandle(const std::string& name, const std::string& bytes) {
  const Handle data = MemNewHandle(static_cast<uint32_t>(bytes.size()));
  if (data == nullptr) Fail(name, MemGetError());
  if (!bytes.empty()) std::memcpy(data->data, bytes.data(), bytes.size());
  return data;
}

}  // namespace

void RequireReadable(const std::string& name) {
  if (IsStreamedInput(name)) {
    StreamedInput(name);
    return;
  }
  if (IsDirectory(name)) FailDirectory(name);
  File* file = nullptr;
  ClearOsError();
  if (ErrCode err = FileOpen(LibraryPath(name).c_str(), "rb", &file)) FailFile(name, err);
  if (ErrCode err = FileClose(file)) Fail(name, err);
}

Handle LoadWholeFile(const std::string& name) {
  if (IsStreamedInput(name)) return CopyToHandle(name, StreamedInput(name));
  if (IsDirectory(name)) FailDirectory(name);
  Handle data = nullptr;
  ClearOsError();
  if (ErrCode err = FileLoad(LibraryPath(name).c_str(), &data)) FailFile(name, err);
  return data;
}

uint64_t FileSizeOf(const std::string& name) {
  std::error_code error;
  const uintmax_t size = std::filesystem::file_size(FsPath(name), error);
  return error ? 0 : static_cast<uint64_t>(size);
}

uint64_t InputSizeOf(const std::string& name) {
  if (IsStreamedInput(name)) return StreamedInput(name).size();
  return LibraryInputSizeOf(name);
}

uint64_t LibraryInputSizeOf(const std::string& name) {
  // The file layer refuses such a file (0x4506) and the system has no word
  // for it; refused before a heap is sized for it, which a 32-bit process
  // could not have.
  const uint64_t size = FileSizeOf(name);
  if (size >= uint64_t{1} << 31)
    Fail(name, errFileBounds, "the file layer takes files under 2 GiB");
  return size;
}

void StartLibrary(uint64_t dataBytes) {
  // Room for the data three times over (a resource's old and new contents
  // and the directory) and a mebibyte for everything else.
  StartHeap(0x100000 + 3 * dataBytes);
}

void StartHeap(uint64_t heapBytes) {
  // The heap is one region whose size is a 32-bit count.
  const uint32_t heapSize =
      heapBytes > 0xFFF00000u ? 0xFFF00000u : static_cast<uint32_t>(heapBytes);
  if (ErrCode err = SysStart(nullptr, heapSize, 0)) Fail(Format("heap of %u bytes", heapSize), err);
}

uint64_t ParseNumber(const std::string& text, const std::string& what, uint64_t max,
                     const std::string& unit) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const size_t first = hex ? 2 : 0;
  const char* const rule = hex ? "not hex digits" : "not a decimal number";
  uint64_t value = 0;
  if (text.size() == first) UsageFail(what, errBadData, rule);
  for (size_t i = first; i < text.size(); ++i) {
    const int c = uchar(text[i]);
    int digit = -1;
    if (std::isdigit(c)) digit = c - '0';
    if (hex && std::isxdigit(c) && !std::isdigit(c)) digit = std::tolower(c) - 'a' + 10;
    if (digit < 0) UsageFail(what, errBadData, rule);
    // Checked before the step, which could wrap around 64 bits.
    const uint64_t base = hex ? 16 : 10;
    if (value > (max - static_cast<uint64_t>(digit)) / base) {
      UsageFail(what, errBadData, "at most " + std::to_string(max) + unit);
    }
    value = value * base + static_cast<uint64_t>(digit);
  }
  return value;
}

uint64_t ParseByteCount(const std::string& text, const std::string& what, uint64_t max) {
  uint64_t scale = 1;
  std::string digits = text;
  if (!digits.empty() && (digits.back() == 'K' || digits.back() == 'k')) scale = 1024;
  if (!digits.empty() && (digits.back() == 'M' || digits.back() == 'm')) scale = 1024 * 1024;
  if (scale != 1) digits.pop_back();
  // "5G" is no decimal number, but the likelier mistake is the suffix.
  const size_t letter = digits.find_first_not_of("0123456789");
  const bool suffix =
      letter > 0 && letter + 1 == digits.size() && std::isalpha(uchar(digits.back()));
  if (scale == 1 && suffix && digits != "0x" && digits != "0X")
    UsageFail(what, errBadData, "K and M are the only suffixes (KiB, MiB)");
  const uint64_t count =
      ParseNumber(digits, what, max / scale, scale == 1 ? "" : std::string(1, text.back()));
  return count * scale;
}

std::string Count(uint64_t n, const char* noun) {
  return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

std::string FormatFloat(float value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  // Plain decimals where they stay short, else the exponent form.
  const bool plain = value == 0 || (std::fabs(value) >= 1e-4f && std::fabs(value) < 1e15f);
  std::string text;
  for (int digits = plain ? 0 : 1; digits <= 20; ++digits) {
    text = Format(plain ? "%.*f" : "%.*g", digits, static_cast<double>(value));
    if (std::strtof(text.c_str(), nullptr) == value) break;
  }
  if (text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, args);
  va_end(args);
  return text;
}

Progress::Progress(std::string label, uint64_t total)
    : label_(std::move(label)),
      total_(total),
      terminal_(OKR_ISATTY(OKR_FILENO(stderr)) != 0),
      start_(std::chrono::steady_clock::now()),
      last_(start_) {}

Progress::~Progress() {
  ClearProgress();
}

void Progress::Announce() {
  if (!terminal_) return;
  progressWidth = static_cast<int>(label_.size()) + 40;
  std::fprintf(stderr, "%s...", label_.c_str());
  std::fflush(stderr);
}

void Progress::Update(uint64_t done) {
  if (!terminal_) return;
  // Quick work shows nothing; long work a line about ten times a second.
  const auto now = std::chrono::steady_clock::now();
  if (now - start_ < std::chrono::milliseconds(300) || now - last_ < std::chrono::milliseconds(100))
    return;
  last_ = now;
  progressWidth = static_cast<int>(label_.size()) + 40;
  const double percent = total_ == 0 ? 100.0 : 100.0 * static_cast<double>(done) / total_;
  std::fprintf(stderr, "\r%s: %s/%s (%.0f%%)", label_.c_str(), std::to_string(done).c_str(),
               std::to_string(total_).c_str(), percent);
  std::fflush(stderr);
}

}  // namespace okr_tool
