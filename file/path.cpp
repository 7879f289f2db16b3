// Library path translation: the relative notation (":dir:name") becomes a
// native path with the platform's separator; native paths pass unchanged.
#include <okr/file.h>
#include <string.h>

namespace {

constexpr char kLibSeparator = ':';

// Copies `src` into `out`, turning every library separator into the native
// one when `translate` is set. False, with "" in `out`, when it does not fit.
bool CopyPath(const char* src, char* out, bool translate) {
  size_t len = strnlen(src, filePathBufferSize);
  if (len >= filePathBufferSize) {
    out[0] = '\0';
    return false;
  }
  for (size_t i = 0; i < len; ++i)
    out[i] = (translate && src[i] == kLibSeparator) ? FILE_NATIVE_SEPARATOR : src[i];
  out[len] = '\0';
  return true;
}

}  // namespace

extern "C" char* FileMakePath(const char* libPath, char* out) {
  if (out == nullptr) return nullptr;
  if (libPath == nullptr) {
    out[0] = '\0';
    return nullptr;
  }
  bool relative = libPath[0] == kLibSeparator;
  const char* src = relative ? libPath + 1 : libPath;
  return CopyPath(src, out, relative) ? out : nullptr;
}
