// Inputs that okr reads itself, whole, because the library's file layer
// seeks and a pipe cannot: standard input, named "-", and on POSIX systems
// a pipe or a device named by its path (/dev/stdin on a pipe, a shell's
// <(...)). Each is read once, when its size is first asked (the heap is
// sized for it), and the bytes are kept for the loads after.
#include <cstdio>
#include <map>
#include <new>

#include "cli.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace okr_tool {

namespace {

// The file layer's limit, which a streamed input keeps as well.
constexpr uint64_t kInputLimit = uint64_t{1} << 31;

std::map<std::string, std::string> streamedInputs;

// Appends `size` bytes of `data`; false when memory runs out, which a
// 32-bit process meets well before the 2 GiB limit.
bool Append(std::string* bytes, const char* data, size_t size) {
  try {
    bytes->append(data, size);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

std::FILE* OpenStream(const std::string& name) {
  if (name != "-") return std::fopen(LibraryPath(name).c_str(), "rb");
#ifdef _WIN32
  _setmode(_fileno(stdin), _O_BINARY);  // no CR LF translation, no end at ^Z
#endif
  return stdin;
}

// The whole of the stream `name`; a failure, or input of 2 GiB or more,
// ends the program.
std::string ReadStream(const std::string& name) {
  ClearOsError();
  std::FILE* in = OpenStream(name);
  if (in == nullptr) FailFile(name, errFileNotFound);
  std::string bytes;
  char chunk[1 << 16];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, in)) > 0) {
    if (bytes.size() + got >= kInputLimit)
      Fail(name, errFileBounds, "the file layer takes files under 2 GiB");
    if (!Append(&bytes, chunk, got))
      Fail(name, errNoSystemMemory, "the input does not fit in memory");
  }
  if (std::ferror(in)) FailFile(name, errFileRead);
  if (in != stdin) std::fclose(in);
  return bytes;
}

}  // namespace

bool IsStreamedInput(const std::string& name) {
  if (name == "-") return true;
#ifdef _WIN32
  return false;  // a Windows pipe has no name in the file system
#else
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(FsPath(name), error);
  return !error && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status) &&
         !std::filesystem::is_directory(status);
#endif
}

const std::string& StreamedInput(const std::string& name) {
  auto found = streamedInputs.find(name);
  if (found == streamedInputs.end()) found = streamedInputs.emplace(name, ReadStream(name)).first;
  return found->second;
}

}  // namespace okr_tool
