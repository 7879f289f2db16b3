// Creating a new, empty resource file: a header, an empty data area and a
// directory without types, opened read-write.
#include "file/res_internal.h"

using namespace okr_res;

namespace {

// The directory of an empty file: the fixed part and a typeCount of 0.
struct EmptyDirectory {
  ResDirectory fixed;
  uint32_t typeCount;
};
static_assert(sizeof(EmptyDirectory) == kDirFixedSize + kWordSize, "empty directory is 56 bytes");

EmptyDirectory MakeEmptyDirectory() {
  EmptyDirectory empty{};
  ResFileHeader& h = empty.fixed.header;
  h.version = resVersion;
  h.dataStart = kHeaderSize;
  h.dataLength = 0;
  h.dirOffset = kHeaderSize;
  h.dirLength = sizeof(EmptyDirectory);
  empty.fixed.fileFlags = resFileFlagWritten;
  empty.fixed.typeListOffset = kDirFixedSize;
  return empty;
}

}  // namespace

extern "C" ErrCode ResCreateFile(const char* libPath, File** outFile) {
  if (outFile == nullptr) return Report(errNilPointer);
  *outFile = nullptr;
  File* file = nullptr;
  ErrCode err = FileOpen(libPath, "w+b", &file);
  if (err != errNone) return Report(err);
  EmptyDirectory empty = MakeEmptyDirectory();
  // The header is the directory's first 32 bytes, and the directory follows
  // it directly.
  err = FileWrite(file, &empty, kHeaderSize);
  if (err == errNone) err = FileWrite(file, &empty, sizeof empty);
  if (err == errNone) err = FileSeek(file, fileSeekStart, 0);
  if (err != errNone) {
    FileClose(file);
    return Report(err);
  }
  err = ResOpenFile(file, 0);
  if (err == errNone) *outFile = file;
  return err;
}
