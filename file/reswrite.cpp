// Writing loaded resources back to their file and releasing their data.
#include "file/res_internal.h"

using namespace okr_res;

namespace {

// Where a write-back puts `newSize` bytes of `entry`: in place when they fit
// its old size, else appended to the data area. False when the data area
// would reach beyond what a file position can express.
bool PlaceData(const ResDirectory* dir, const ResEntry* entry, uint32_t newSize,
               uint32_t* outOffset, uint32_t* outDataLength) {
  *outOffset = entry->dataOffset;
  *outDataLength = dir->header.dataLength;
  if (newSize <= entry->dataSize) return true;
  uint64_t end = uint64_t{dir->header.dataStart} + dir->header.dataLength + newSize;
  if (end > kMaxFilePos) return false;
  *outOffset = dir->header.dataLength;
  *outDataLength = dir->header.dataLength + newSize;
  return true;
}

// Writes the handle's data at the stream's position, keeping its lock state.
ErrCode WriteData(File* file, Handle data, uint32_t size) {
  if (size == 0) return errNone;
  uint32_t savedFlags = MemGetFlags(data);
  MemLockHandle(data);
  ErrCode err = FileWrite(file, data->data, size);
  MemSetFlags(data, savedFlags);
  return err;
}

}  // namespace

void okr_res::DisposeResourceData(Handle data) {
  MemSetFlags(data, MemGetFlags(data) & ~uint32_t{memFlagResource});
  MemDisposeHandle(data);
}

extern "C" ErrCode ResReleaseResource(Handle resHandle) {
  Cursor c;
  Handle dirHandle;
  if (resHandle == nullptr) return resLastError;
  if (!FindLoaded(resHandle, &c, &dirHandle)) return Report(errResNotFound);
  if (c.entry->attributes & resAttrChanged) return Report(errResAttributes);
  DisposeResourceData(resHandle);
  SetEntryData(c.dir, c.ordinal, nullptr);
  return Report(errNone);
}

// A stale code in the memory manager's last error does not stop a write-back:
// taking the handle's size cannot have set it.
extern "C" ErrCode ResWriteResource(Handle resHandle) {
  resLastError = errNone;
  Cursor c;
  Handle dirHandle;
  if (resHandle == nullptr) return errNone;
  if (!FindLoaded(resHandle, &c, &dirHandle)) return Report(errResNotFound);
  ResDirectory* dir = c.dir;
  if (dir->fileFlags & resFileFlagReadOnly) return Report(errResReadOnly);
  if (!(c.entry->attributes & resAttrChanged)) return errNone;
  uint32_t newSize = MemGetHandleSize(resHandle);
  uint32_t offset = 0;
  uint32_t dataLength = 0;
  if (!PlaceData(dir, c.entry, newSize, &offset, &dataLength)) return Report(errFileBounds);
  ErrCode err = SeekData(dir, offset, newSize);
  if (err == errNone) err = WriteData(GetLinks(dir).file, resHandle, newSize);
  // On failure the entry keeps its old place, size and changed bit, so it
  // claims nothing the file does not hold; a later write-back retries.
  if (err != errNone) return Report(err);
  if (newSize > c.entry->dataSize) dir->fileFlags |= resFileFlagChanged;
  if (newSize < c.entry->dataSize) {
    ResLinks links = GetLinks(dir);
    links.shrunk = 1;
    SetLinks(dir, links);
  }
  c.entry->dataOffset = offset;
  c.entry->dataSize = newSize;
  c.entry->attributes &= ~uint32_t{resAttrChanged};
  dir->header.dataLength = dataLength;
  return errNone;
}

extern "C" void ResWriteChanged(Handle dirHandle, int releaseAll) {
  resLastError = dirHandle == nullptr ? ErrCode{errNilPointer} : ErrCode{errNone};
  if (dirHandle == nullptr) return;
  // Entries are found again by ordinal: releasing data frees memory but never
  // moves the directory, and writing back allocates nothing.
  for (Cursor c = FirstEntry(DirOf(dirHandle)); c.entry != nullptr; NextEntry(&c)) {
    if (resLastError != errNone) return;
    Handle data = GetEntryData(c.dir, c.ordinal);
    if (c.entry->attributes & resAttrChanged) ResWriteResource(data);
    if (releaseAll && data != nullptr) ResReleaseResource(data);
  }
}
