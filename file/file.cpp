// Single stream operations: open, close, read, write, seek and size, each
// turning the platform's failure into a FILE code; the transfer counts; and
// the library's own sync and truncation. Every stdio call of the library is
// made here, each behind its fault injection hook (empty outside the tests).
#include <assert.h>
#include <errno.h>
#include <limits.h>
#include <okr/err.h>
#include <okr/file.h>

#include "core/fault.h"
#include "file/file_internal.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

uint32_t fileLastReadCount = 0;
uint32_t fileLastWriteCount = 0;

namespace {

// Classifies a short transfer by the stream's end-of-file indicator.
ErrCode ShortTransfer(File* file, ErrCode otherwise) {
  if (feof(file)) return errFileEof;
  return otherwise;
}

// A position the file layer can express: 0 to INT32_MAX.
bool PositionFits(long pos) {
  return pos >= 0 && pos <= INT32_MAX;
}

int Seek(File* file, long offset, int origin) {
  return OKR_FAULT(faultSeek) ? -1 : fseek(file, offset, origin);
}

// Output straight after input is undefined for an update stream unless the
// input met the end of the file: a Windows stream copies the bytes into its
// read buffer and drops them, reporting success. A seek to where the stream
// stands makes the switch. With the end-of-file indicator set the switch is
// allowed as it is, and the indicator must stay to classify a short write.
// glibc's streams switch by themselves, and a seek would cost them a read of
// the block around the position at every write.
#ifdef __GLIBC__
constexpr bool kStreamsSwitchToOutput = true;
#else
constexpr bool kStreamsSwitchToOutput = false;
#endif

void PrepareForOutput(File* file) {
  if (kStreamsSwitchToOutput || feof(file)) return;
  int saved = errno;
  // A stream that cannot seek (a pipe) has no input to switch from.
  if (fseek(file, 0, SEEK_CUR) != 0) errno = saved;
}

// The stream's position, or -1 for a stream without one (errno kept).
long Position(File* file) {
  int saved = errno;
  long at = ftell(file);
  if (at < 0) errno = saved;
  return at;
}

// Whether `count` bytes written at `at` end within 2 GiB - 1, the largest
// size a position of the layer can express and the largest file a 32-bit
// process can make. A stream without a position (a pipe) has no size.
bool EndFits(long at, uint32_t count) {
  return at < 0 || static_cast<int64_t>(at) + count <= INT32_MAX;
}

// The bytes of a failed write that reached the file, `went` by the stream's
// own count. The stream stands just after them, having dropped the rest,
// while its count may take in bytes that it buffered and then dropped. A
// stream that still holds them all (or cannot tell) counts none.
size_t Reached(File* file, long at, size_t went, uint32_t count) {
  int64_t moved = int64_t{Position(file)} - at;
  if (at >= 0 && moved >= 0 && static_cast<uint64_t>(moved) < went)
    went = static_cast<size_t>(moved);
  return went == count ? 0 : went;
}

int Flush(File* file) {
  return OKR_FAULT(faultFlush) ? EOF : fflush(file);
}

// The stream's descriptor, or -1 for a stream without one.
int Descriptor(File* file) {
#ifdef _WIN32
  return _fileno(file);
#else
  return fileno(file);
#endif
}

int SyncDescriptor(int fd) {
  if (OKR_FAULT(faultSync)) return -1;
#ifdef _WIN32
  return _commit(fd);
#else
  return fsync(fd);
#endif
}

int Truncate(int fd, int32_t size) {
#ifdef _WIN32
  return _chsize(fd, size);
#else
  return ftruncate(fd, size);
#endif
}

// FileWrite's work once the position `at` of the stream is known (-1: it
// has none).
ErrCode WriteFrom(File* file, long at, const void* src, uint32_t count) {
  // Refused whole rather than making a file that the layer then refuses to
  // size or seek in: nothing is written.
  if (count != 0 && !EndFits(at, count)) {
    errno = EFBIG;
    return ShortTransfer(file, errFileWrite);
  }
  size_t went = count == 0 ? 0 : fwrite(src, 1, OKR_FAULT_SHORT(faultWrite, count), file);
  // A buffered stream may only find out at the flush that the bytes cannot
  // go; the flush makes a full device answer here rather than at close.
  if (went != count || (count != 0 && Flush(file) != 0)) went = Reached(file, at, went, count);
  if (went != 0) OKR_FAULT_WROTE(file, at, src, went);
  fileLastWriteCount = static_cast<uint32_t>(went);
  if (went == count) return errNone;
  return ShortTransfer(file, errFileWrite);
}

}  // namespace

extern "C" ErrCode FileOpen(const char* libPath, const char* mode, File** outFile) {
  if (outFile == nullptr) return errNilPointer;
  *outFile = nullptr;
  char native[filePathBufferSize];
  // A path that does not translate into the buffer is refused before the
  // platform sees anything, with the reason the platform gives for a path
  // too long to open, so that callers reporting errno have one.
  if (mode == nullptr || FileMakePath(libPath, native) == nullptr) {
    errno = mode == nullptr || libPath == nullptr ? EINVAL : ENAMETOOLONG;
    return errFileNotFound;
  }
  File* file = OKR_FAULT(faultOpen) ? nullptr : fopen(native, mode);
  if (file == nullptr) return errFileNotFound;
  *outFile = file;
  return errNone;
}

extern "C" ErrCode FileClose(File* file) {
  if (file == nullptr) return errNilPointer;
  fclose(file);
  return errNone;
}

extern "C" ErrCode FileRead(File* file, void* dst, uint32_t count) {
  fileLastReadCount = 0;
  if (file == nullptr || (dst == nullptr && count != 0)) return errNilPointer;
  size_t got = count == 0 ? 0 : fread(dst, 1, OKR_FAULT_SHORT(faultRead, count), file);
  fileLastReadCount = static_cast<uint32_t>(got);
  if (got == count) return errNone;
  return ShortTransfer(file, errFileRead);
}

extern "C" ErrCode FileWrite(File* file, const void* src, uint32_t count) {
  fileLastWriteCount = 0;
  if (file == nullptr || (src == nullptr && count != 0)) return errNilPointer;
  if (count != 0) PrepareForOutput(file);
  return WriteFrom(file, Position(file), src, count);
}

ErrCode FileWriteHere(File* file, int32_t pos, const void* src, uint32_t count) {
  fileLastWriteCount = 0;
  if (file == nullptr || (src == nullptr && count != 0)) return errNilPointer;
  if (count != 0) PrepareForOutput(file);
  // Relied on, and asked in the debug and test builds only: the stream
  // stands at pos.
  assert(count == 0 || Position(file) == pos);
  return WriteFrom(file, pos, src, count);
}

extern "C" ErrCode FileSeek(File* file, int32_t origin, int32_t offset) {
  if (file == nullptr) return errNilPointer;
  long before = ftell(file);
  if (Seek(file, offset, origin) != 0) return errFileBounds;
  long after = ftell(file);
  if (PositionFits(after)) return errNone;
  // Positions of 2 GiB and more cannot be expressed: go back and refuse.
  if (before >= 0) Seek(file, before, SEEK_SET);
  return errFileBounds;
}

// A position from 0 to INT32_MAX always fits, so the seek is made without
// FileSeek's two questions to the stream: the first costs a system call
// after a flush.
ErrCode FileSeekTo(File* file, int32_t pos) {
  if (file == nullptr) return errNilPointer;
  if (!feof(file) && ftell(file) == pos) return errNone;
  return pos >= 0 && Seek(file, pos, SEEK_SET) == 0 ? errNone : errFileBounds;
}

extern "C" ErrCode FileGetSize(File* file, int32_t* outSize) {
  if (file == nullptr || outSize == nullptr) return errNilPointer;
  long here = ftell(file);
  if (here == -1) return errFileBounds;
  if (Seek(file, 0, SEEK_END) != 0) return errFileBounds;
  long size = ftell(file);
  *outSize = PositionFits(size) ? static_cast<int32_t>(size) : -1;
  bool back = Seek(file, here, SEEK_SET) == 0;
  if (!back || !PositionFits(size)) return errFileBounds;
  return errNone;
}

ErrCode FileSync(File* file) {
  if (file == nullptr) return errNilPointer;
  if (Flush(file) != 0) return errFileWrite;
  int fd = Descriptor(file);
  if (fd >= 0 && SyncDescriptor(fd) != 0) return errFileWrite;
  OKR_FAULT_SYNCED(file);
  return errNone;
}

// A file that cannot be cut keeps bytes nothing refers to, which harms
// nothing; so this flush has no fault hook.
ErrCode FileTruncate(File* file, int32_t size) {
  if (file == nullptr) return errNilPointer;
  if (size < 0 || fflush(file) != 0) return errFileWrite;
  int fd = Descriptor(file);
  if (fd >= 0 && Truncate(fd, size) != 0) return errFileWrite;
  OKR_FAULT_CUT(file, size);
  return errNone;
}
