// Adding and removing resources. Either changes the directory's length, so
// the directory is built anew (type records in order, each type's entries
// one array after the type list) and the file is marked changed: the next
// flush compacts the data and writes the new directory behind it.
#include "file/res_internal.h"

using namespace okr_res;

namespace {

constexpr uint32_t kNoOrdinal = 0xFFFFFFFFu;

// One change to a directory: an entry left out, or one added at the end of
// its type (a new type record at the end when the type is missing).
struct Edit {
  uint32_t removeOrdinal;
  Handle addData;  // NULL: nothing is added
  uint32_t addType;
};

// Sizes of the rebuilt directory.
struct Shape {
  uint32_t typeCount;
  uint32_t entryTotal;
  uint32_t dirLength;
  uint32_t blockSize;
};

// Writes the directory under construction into `out`.
struct Builder {
  ResDirectory* out;
  uint32_t typeIndex;
  uint32_t ordinal;
  uint32_t entriesBase;  // offset of the entry arrays from the type list

  ResTypeRecord* BeginType(uint32_t typeId) {
    ResTypeRecord* t = TypeAt(out, typeIndex++);
    *t = ResTypeRecord{typeId, 0, entriesBase + ordinal * kEntrySize};
    return t;
  }
  void AddEntry(ResTypeRecord* type, const ResEntry& entry, Handle data) {
    *EntryAt(out, type, type->entryCount++) = entry;
    SetEntryData(out, ordinal++, data);
  }
};

bool RemovesWholeType(ResDirectory* dir, const Edit& edit, const ResTypeRecord* type) {
  if (edit.removeOrdinal == kNoOrdinal || type->entryCount != 1) return false;
  for (Cursor c = FirstEntry(dir); c.entry != nullptr; NextEntry(&c))
    if (c.ordinal == edit.removeOrdinal) return c.type == type;
  return false;
}

bool ShapeFor(ResDirectory* dir, const Edit& edit, Shape* out) {
  out->typeCount = *TypeCountWord(dir);
  out->entryTotal = GetLinks(dir).entryTotal;
  if (edit.addData != nullptr) {
    ++out->entryTotal;
    if (FindType(dir, edit.addType) == nullptr) ++out->typeCount;
  }
  if (edit.removeOrdinal != kNoOrdinal) {
    --out->entryTotal;
    for (uint32_t i = 0; i < *TypeCountWord(dir); ++i)
      if (RemovesWholeType(dir, edit, TypeAt(dir, i))) --out->typeCount;
  }
  uint64_t length = uint64_t{kDirFixedSize} + kWordSize +
                    uint64_t{out->typeCount} * kTypeRecordSize +
                    uint64_t{out->entryTotal} * kEntrySize;
  if (length > kMaxFilePos) return false;
  out->dirLength = static_cast<uint32_t>(length);
  out->blockSize = BlockSizeFor(out->dirLength, out->entryTotal);
  return out->blockSize != 0;
}

// The entry a new resource starts with: no bytes yet, at the end of the data
// area, changed so that its data is written at the next write-back.
ResEntry NewEntry(const ResDirectory* dir) {
  return ResEntry{0, 0, dir->header.dataLength, 0, resAttrChanged, 0};
}

void Build(ResDirectory* old, const Edit& edit, const Shape& shape, ResDirectory* out) {
  memset(out, 0, shape.blockSize);
  *out = *old;
  out->header.dirLength = shape.dirLength;
  out->typeListOffset = kDirFixedSize;
  *TypeCountWord(out) = shape.typeCount;
  Builder b{out, 0, 0, kWordSize + shape.typeCount * kTypeRecordSize};
  bool added = false;
  for (uint32_t i = 0; i < *TypeCountWord(old); ++i) {
    const ResTypeRecord* type = TypeAt(old, i);
    if (RemovesWholeType(old, edit, type)) continue;
    ResTypeRecord* t = b.BeginType(type->typeId);
    for (Cursor c = FirstEntry(old); c.entry != nullptr; NextEntry(&c))
      if (c.type == type && c.ordinal != edit.removeOrdinal)
        b.AddEntry(t, *c.entry, GetEntryData(old, c.ordinal));
    if (edit.addData != nullptr && !added && type == FindType(old, edit.addType)) {
      b.AddEntry(t, NewEntry(old), edit.addData);
      added = true;
    }
  }
  if (edit.addData != nullptr && !added)
    b.AddEntry(b.BeginType(edit.addType), NewEntry(old), edit.addData);
  ResLinks links = GetLinks(old);
  links.entryTotal = shape.entryTotal;
  SetLinks(out, links);
  out->fileFlags |= resFileFlagChanged;
}

// Rebuilds the directory of `dirHandle` with `edit` applied. Nothing changes
// when memory runs short.
ErrCode Rebuild(Handle dirHandle, const Edit& edit) {
  Shape shape;
  if (!ShapeFor(DirOf(dirHandle), edit, &shape)) return errMemOutOfMemory;
  Handle scratch = MemNewHandle(shape.blockSize);
  if (scratch == nullptr) return MemGetError();
  MemLockHandle(scratch);
  Build(DirOf(dirHandle), edit, shape, static_cast<ResDirectory*>(scratch->data));
  ErrCode err = MemSetHandleSize(dirHandle, shape.blockSize);
  if (err == errNone) memcpy(dirHandle->data, scratch->data, shape.blockSize);
  MemDisposeHandle(scratch);
  return err;
}

}  // namespace

extern "C" ErrCode ResAddResource(File* file, uint32_t typeId, Handle dataHandle) {
  if (file == nullptr || dataHandle == nullptr) return Report(errNilPointer);
  Handle dirHandle = ResFindFile(file);
  if (dirHandle == nullptr) return errResFileNotFound;
  if (DirOf(dirHandle)->fileFlags & resFileFlagReadOnly) return Report(errResReadOnly);
  Cursor c;
  Handle owner;
  if (FindLoaded(dataHandle, &c, &owner)) return Report(errResAlreadyInFile);
  ErrCode err = Rebuild(dirHandle, Edit{kNoOrdinal, dataHandle, typeId});
  if (err != errNone) return Report(err);
  MemSetFlags(dataHandle, MemGetFlags(dataHandle) | memFlagResource);
  return Report(errNone);
}

extern "C" ErrCode ResRemoveResource(Handle resHandle) {
  Cursor c;
  Handle dirHandle;
  if (resHandle == nullptr || !FindLoaded(resHandle, &c, &dirHandle)) return Report(errResNotFound);
  if (c.dir->fileFlags & resFileFlagReadOnly) return Report(errResReadOnly);
  ErrCode err = Rebuild(dirHandle, Edit{c.ordinal, nullptr, 0});
  if (err != errNone) return Report(err);
  DisposeResourceData(resHandle);
  return Report(errNone);
}
