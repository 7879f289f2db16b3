// Loading resource data into handles, marking it changed, and describing the
// resources of open files for enumeration.
#include "file/res_internal.h"

using namespace okr_res;

namespace {

void FillInfo(const Cursor& c, ResInfo* out) {
  out->typeId = c.type->typeId;
  out->index = c.entryIndex;
  out->dataOffset = c.entry->dataOffset;
  out->dataSize = c.entry->dataSize;
  out->attributes = c.entry->attributes;
  out->dataHandle = GetEntryData(c.dir, c.entry);
}

// Reads `size` bytes at file offset `place` into `data`. An empty resource
// reads nothing: its place may lie anywhere, even past what a seek reaches,
// since it holds no bytes.
ErrCode ReadBytesAt(ResDirectory* dir, uint64_t place, Handle data, uint32_t size) {
  if (size == 0) return errNone;
  if (ErrCode err = SeekPlace(dir, place, size)) return err;
  MemLockHandle(data);
  const ErrCode err = FileRead(LinksOf(dir)->file, data->data, size);
  MemUnlockHandle(data);
  return err;
}

// Reads `size` bytes at file offset `place` into a new handle.
ErrCode ReadResourceData(Handle dirHandle, uint64_t place, uint32_t size, Handle* outData) {
  Handle data = MemNewHandle(size);
  if (data == nullptr) return MemGetError();
  // DirOf after the allocation, which may have moved the directory.
  if (ErrCode err = ReadBytesAt(DirOf(dirHandle), place, data, size)) {
    MemDisposeHandle(data);
    return err;
  }
  MemSetFlags(data, MemGetFlags(data) | memFlagResource);
  *outData = data;
  return errNone;
}

}  // namespace

extern "C" ErrCode ResLoadResource(File* file, uint32_t typeId, uint32_t index, Handle* outHandle) {
  if (outHandle == nullptr) return Report(errNilPointer);
  *outHandle = nullptr;
  Handle dirHandle = ResFindFile(file);
  if (dirHandle == nullptr) return errResFileNotFound;
  Cursor c;
  if (!FindIndexed(DirOf(dirHandle), typeId, index, &c)) return Report(errResNotFound);
  Handle data = GetEntryData(c.dir, c.entry);
  uint32_t cell = CellOf(c.dir, c.entry);
  if (data == nullptr) {
    // The allocation may move the directory: its cell still names the entry.
    // A rewrite that waits in the staging region is read from there.
    ErrCode err = ReadResourceData(dirHandle, DataPlace(c.dir, c.entry), c.entry->dataSize, &data);
    if (err != errNone) return Report(err);
    *SlotOf(DirOf(dirHandle), cell) = data;
  }
  NoteLoaded(dirHandle, cell);
  *outHandle = data;
  return Report(errNone);
}

extern "C" ErrCode ResMarkChanged(Handle resHandle) {
  Cursor c;
  Handle dirHandle;
  if (resHandle == nullptr || !FindLoaded(resHandle, &c, &dirHandle)) return Report(errResNotFound);
  c.entry->attributes |= resAttrChanged;
  return Report(errNone);
}

extern "C" ErrCode ResCountTypes(File* file, uint32_t* outCount) {
  if (outCount == nullptr) return Report(errNilPointer);
  Handle dirHandle = ResFindFile(file);
  if (dirHandle == nullptr) return errResFileNotFound;
  *outCount = *TypeCountWord(DirOf(dirHandle));
  return Report(errNone);
}

extern "C" ErrCode ResGetTypeId(File* file, uint32_t typeIndex, uint32_t* outTypeId) {
  if (outTypeId == nullptr) return Report(errNilPointer);
  Handle dirHandle = ResFindFile(file);
  if (dirHandle == nullptr) return errResFileNotFound;
  ResDirectory* dir = DirOf(dirHandle);
  if (typeIndex >= *TypeCountWord(dir)) return Report(errBadIndex);
  *outTypeId = TypeAt(dir, typeIndex)->typeId;
  return Report(errNone);
}

extern "C" ErrCode ResCountResources(File* file, uint32_t typeId, uint32_t* outCount) {
  if (outCount == nullptr) return Report(errNilPointer);
  Handle dirHandle = ResFindFile(file);
  if (dirHandle == nullptr) return errResFileNotFound;
  const ResTypeRecord* type = FindType(DirOf(dirHandle), typeId);
  *outCount = type == nullptr ? 0 : type->entryCount;
  return Report(errNone);
}

extern "C" ErrCode ResGetInfo(Handle resHandle, ResInfo* out) {
  if (out == nullptr) return Report(errNilPointer);
  Cursor c;
  Handle dirHandle;
  if (resHandle == nullptr || !FindLoaded(resHandle, &c, &dirHandle)) return Report(errResNotFound);
  FillInfo(c, out);
  return Report(errNone);
}

extern "C" ErrCode ResGetIndexedInfo(File* file, uint32_t typeId, uint32_t index, ResInfo* out) {
  if (out == nullptr) return Report(errNilPointer);
  Handle dirHandle = ResFindFile(file);
  if (dirHandle == nullptr) return errResFileNotFound;
  Cursor c;
  if (!FindIndexed(DirOf(dirHandle), typeId, index, &c)) return Report(errResNotFound);
  FillInfo(c, out);
  return Report(errNone);
}
