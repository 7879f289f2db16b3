// Writing loaded resources back to their file and releasing their data.
#include "file/file_internal.h"
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

// Writes the handle's data at file position `pos`, where the stream has
// just been put, keeping the handle's lock state.
ErrCode WriteData(File* file, int32_t pos, Handle data, uint32_t size) {
  if (size == 0) return errNone;
  uint32_t savedFlags = MemGetFlags(data);
  MemLockHandle(data);
  ErrCode err = FileWriteHere(file, pos, data->data, size);
  MemSetFlags(data, savedFlags);
  return err;
}

}  // namespace

ErrCode okr_res::ReleaseAt(const Cursor& c) {
  if (c.entry->attributes & resAttrChanged) return Report(errResAttributes);
  DisposeResourceData(GetEntryData(c.dir, c.entry));
  SetEntryData(c.dir, c.entry, nullptr);
  return Report(errNone);
}

void okr_res::DisposeResourceData(Handle data) {
  MemSetFlags(data, MemGetFlags(data) & ~uint32_t{memFlagResource});
  MemDisposeHandle(data);
}

// A stale code in the memory manager's last error does not stop a write-back:
// taking the handle's size cannot have set it. Grown data is appended where
// no stored directory points; data that keeps its place is staged (see
// resstage.cpp), so that its place changes only once a stored directory
// names the staged bytes.
ErrCode okr_res::WriteEntry(ResDirectory* dir, const Cursor& c) {
  resLastError = errNone;
  if (dir->fileFlags & resFileFlagReadOnly) return Report(errResReadOnly);
  if (!(c.entry->attributes & resAttrChanged)) return errNone;
  ResLinks* links = LinksOf(dir);
  if (links->wedged != errNone) return Report(links->wedged);
  Handle data = GetEntryData(dir, c.entry);
  uint32_t newSize = MemGetHandleSize(data);
  bool grows = newSize > c.entry->dataSize;
  // Appended data must not land on what the stored directory refers to.
  ErrCode err = grows ? MakeAppendRoom(dir, newSize) : ErrCode{errNone};
  if (err != errNone) return Report(err);
  uint32_t offset = 0;
  uint32_t dataLength = 0;
  if (!PlaceData(dir, c.entry, newSize, &offset, &dataLength)) return Report(errFileBounds);
  uint32_t staged = 0;
  int32_t pos = 0;
  if (grows) {
    err = SeekData(dir, offset, newSize, &pos);
  } else if (newSize != 0) {
    staged = StagePlace(dir, newSize, &err);
    if (err == errNone) err = SeekPlace(dir, staged, newSize, &pos);
  }
  if (err == errNone) err = WriteData(links->file, pos, data, newSize);
  // On failure the entry keeps its old place, size and changed bit, so it
  // claims nothing the file does not hold; a later write-back retries.
  if (err != errNone) return Report(err);
  Written(dir, c.entry, offset, newSize);
  if (staged != 0) Staged(dir, c.entry, staged);
  dir->header.dataLength = dataLength;
  return errNone;
}

void okr_res::Written(ResDirectory* dir, ResEntry* entry, uint32_t offset, uint32_t size) {
  ResLinks* links = LinksOf(dir);
  links->unsynced = 1;
  if (size > entry->dataSize) dir->fileFlags |= resFileFlagChanged;
  if (size < entry->dataSize) links->shrunk = 1;
  entry->dataOffset = offset;
  entry->dataSize = size;
  entry->attributes &= ~uint32_t{resAttrChanged};
}

extern "C" ErrCode ResReleaseResource(Handle resHandle) {
  Cursor c;
  Handle dirHandle;
  if (resHandle == nullptr) return resLastError;
  if (!FindLoaded(resHandle, &c, &dirHandle)) return Report(errResNotFound);
  return ReleaseAt(c);
}

extern "C" ErrCode ResWriteResource(Handle resHandle) {
  resLastError = errNone;
  Cursor c;
  Handle dirHandle;
  if (resHandle == nullptr) return errNone;
  if (!FindLoaded(resHandle, &c, &dirHandle)) return Report(errResNotFound);
  return WriteEntry(c.dir, c);
}
