// The okr tool's frame: arguments, failures, names, numbers and progress.
#include "cli.h"

#include <cctype>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
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

[[noreturn]] void Report(const std::string& what, ErrCode code, int status) {
  std::fflush(stdout);
  ClearProgress();
  std::fprintf(stderr, "okr: %s: %s (0x%04X)\n", what.c_str(), ErrGetText(code),
               static_cast<unsigned>(code));
  std::exit(status);
}

bool IsOption(const std::string& arg) {
  return arg.size() >= 2 && arg[0] == '-' && (arg[1] == '-' || std::isalpha(uchar(arg[1])));
}

const OptionSpec* FindOption(const std::vector<OptionSpec>& options, const std::string& name) {
  for (const OptionSpec& o : options) {
    if (name == o.name) return &o;
  }
  return nullptr;
}

}  // namespace

void Fail(const std::string& what, ErrCode code) {
  Report(what, code, kExitFailure);
}

void UsageFail(const std::string& what, ErrCode code) {
  Report(what, code, kExitUsage);
}

int FinishOutput(int status) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) Fail("standard output", errFileWrite);
  return status;
}

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

Args ParseArgs(const std::vector<std::string>& argv, const std::string& command,
               const std::vector<OptionSpec>& options, size_t minPositionals,
               size_t maxPositionals) {
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
    const std::string name = attached ? arg.substr(0, 2) : arg;
    const OptionSpec* option = FindOption(options, name);
    if (option == nullptr || (attached && !option->takesValue)) {
      UsageFail(command + " " + arg, errUnknownToken);
    }
    if (!option->takesValue) {
      args.options.emplace_back(name, "");
    } else if (attached) {
      args.options.emplace_back(name, arg.substr(2));
    } else if (i + 1 < argv.size() && !argv[i + 1].empty()) {
      args.options.emplace_back(name, argv[++i]);
    } else {
      // An empty value ("-o \"$OUT\"" with OUT unset) is no value either.
      UsageFail(command + " " + arg, errMissingParameter);
    }
  }
  if (args.positionals.size() < minPositionals) UsageFail(command, errMissingParameter);
  if (args.positionals.size() > maxPositionals) {
    UsageFail(command + " " + args.positionals[maxPositionals], errUnknownToken);
  }
  return args;
}

std::string LibraryPath(const std::string& name) {
  return !name.empty() && name[0] == ':' ? "./" + name : name;
}

bool IsDirectory(const std::string& name) {
  std::error_code error;
  return std::filesystem::is_directory(name, error);
}

Handle LoadWholeFile(const std::string& name) {
  if (IsDirectory(name)) Fail(name, errFileNotFound);
  Handle data = nullptr;
  if (ErrCode err = FileLoad(LibraryPath(name).c_str(), &data)) Fail(name, err);
  return data;
}

void WriteOutput(const std::string& name, const void* bytes, size_t size) {
  if (name.empty()) {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    if (std::fwrite(bytes, 1, size, stdout) != size || std::fflush(stdout) != 0) {
      Fail("standard output", errFileWrite);
    }
    return;
  }
  std::error_code error;
  const bool existed = std::filesystem::exists(name, error);
  std::FILE* file = std::fopen(name.c_str(), "wb");
  if (file == nullptr) Fail(name, errFileNotFound);
  bool ok = std::fwrite(bytes, 1, size, file) == size && std::fflush(file) == 0;
  ok = std::fclose(file) == 0 && ok;
  if (ok) return;
  if (!existed) std::remove(name.c_str());
  Fail(name, errFileWrite);
}

uint64_t FileSizeOf(const std::string& name) {
  std::error_code error;
  const uintmax_t size = std::filesystem::file_size(name, error);
  return error ? 0 : static_cast<uint64_t>(size);
}

void StartLibrary(uint64_t dataBytes) {
  // Room for the data three times over (a resource's old and new contents
  // and the directory) and a mebibyte for everything else; the heap is one
  // region whose size is a 32-bit count.
  const uint64_t wanted = 0x100000 + 3 * dataBytes;
  const uint32_t heapSize = wanted > 0xFFF00000u ? 0xFFF00000u : static_cast<uint32_t>(wanted);
  if (ErrCode err = SysStart(nullptr, heapSize, 0)) Fail(Format("heap of %u bytes", heapSize), err);
  ResInit();
}

uint64_t ParseNumber(const std::string& text, const std::string& what, uint64_t max) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const size_t first = hex ? 2 : 0;
  uint64_t value = 0;
  if (text.size() == first) UsageFail(what, errBadData);
  for (size_t i = first; i < text.size(); ++i) {
    const int c = uchar(text[i]);
    int digit = -1;
    if (std::isdigit(c)) digit = c - '0';
    if (hex && std::isxdigit(c) && !std::isdigit(c)) digit = std::tolower(c) - 'a' + 10;
    if (digit < 0) UsageFail(what, errBadData);
    // Checked before the step, which could wrap around 64 bits.
    const uint64_t base = hex ? 16 : 10;
    if (value > (max - static_cast<uint64_t>(digit)) / base) UsageFail(what, errBadData);
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
  const uint64_t count = ParseNumber(digits, what, max / scale);
  return count * scale;
}

uint32_t ParseType(const std::string& text) {
  uint8_t bytes[4];
  if (text.size() == 4) {
    std::memcpy(bytes, text.data(), 4);
  } else if (text.size() == 10 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    const auto value = static_cast<uint32_t>(ParseNumber(text, "type " + text, 0xFFFFFFFFu));
    for (int i = 0; i < 4; ++i)
      bytes[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
  } else {
    UsageFail("type " + text, errBadData);
  }
  uint32_t typeId;
  std::memcpy(&typeId, bytes, 4);
  return typeId;
}

std::string TypeChars(uint32_t typeId) {
  char chars[5] = {};
  std::memcpy(chars, &typeId, 4);
  for (int i = 0; i < 4; ++i) {
    if (uchar(chars[i]) < 0x20 || uchar(chars[i]) > 0x7E) chars[i] = '.';
  }
  return chars;
}

std::string TypeHex(uint32_t typeId) {
  uint8_t b[4];
  std::memcpy(b, &typeId, 4);
  return Format("0x%02X%02X%02X%02X", b[0], b[1], b[2], b[3]);
}

std::string ResourceName(uint32_t typeId, uint32_t index) {
  return Format("%s #%u", TypeChars(typeId).c_str(), index);
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
