// The directory's geometry at run time: the walk over entries, the values
// kept beside the directory, and the searches through the chain of files.
#include "file/res_internal.h"

using namespace okr_res;

namespace {

// The byte address of the run-time area of `dir`.
char* SideArea(ResDirectory* dir) {
  return Bytes(dir) + SideOffset(dir->header.dirLength);
}

// Moves `cursor` to the first entry at or after (typeIndex, entryIndex).
void Settle(Cursor* cursor) {
  uint32_t typeCount = *TypeCountWord(cursor->dir);
  while (cursor->typeIndex < typeCount) {
    cursor->type = TypeAt(cursor->dir, cursor->typeIndex);
    if (cursor->entryIndex < cursor->type->entryCount) {
      cursor->entry = EntryAt(cursor->dir, cursor->type, cursor->entryIndex);
      return;
    }
    ++cursor->typeIndex;
    cursor->entryIndex = 0;
  }
  cursor->type = nullptr;
  cursor->entry = nullptr;
}

}  // namespace

uint32_t okr_res::BlockSizeFor(uint32_t dirLength, uint32_t entryTotal) {
  uint64_t size =
      uint64_t{SideOffset(dirLength)} + sizeof(ResLinks) + uint64_t{entryTotal} * sizeof(Handle);
  return size > 0xFFFFFFFFu ? 0 : static_cast<uint32_t>(size);
}

ResLinks okr_res::GetLinks(ResDirectory* dir) {
  ResLinks links;
  memcpy(&links, SideArea(dir), sizeof links);
  return links;
}

void okr_res::SetLinks(ResDirectory* dir, const ResLinks& links) {
  memcpy(SideArea(dir), &links, sizeof links);
}

Handle okr_res::GetEntryData(ResDirectory* dir, uint32_t ordinal) {
  Handle data;
  memcpy(&data, SideArea(dir) + sizeof(ResLinks) + ordinal * sizeof(Handle), sizeof data);
  return data;
}

void okr_res::SetEntryData(ResDirectory* dir, uint32_t ordinal, Handle data) {
  memcpy(SideArea(dir) + sizeof(ResLinks) + ordinal * sizeof(Handle), &data, sizeof data);
}

Cursor okr_res::FirstEntry(ResDirectory* dir) {
  Cursor cursor{dir, 0, 0, 0, nullptr, nullptr};
  Settle(&cursor);
  return cursor;
}

void okr_res::NextEntry(Cursor* cursor) {
  ++cursor->entryIndex;
  ++cursor->ordinal;
  Settle(cursor);
}

Handle okr_res::FindFileByStream(File* file) {
  for (Handle h = resCurrentFile; h != nullptr; h = GetLinks(DirOf(h)).nextFile)
    if (GetLinks(DirOf(h)).file == file) return h;
  return nullptr;
}

bool okr_res::FindLoaded(Handle resHandle, Cursor* outCursor, Handle* outDirHandle) {
  for (Handle h = resCurrentFile; h != nullptr; h = GetLinks(DirOf(h)).nextFile) {
    for (Cursor c = FirstEntry(DirOf(h)); c.entry != nullptr; NextEntry(&c)) {
      if (GetEntryData(c.dir, c.ordinal) != resHandle) continue;
      *outCursor = c;
      *outDirHandle = h;
      return true;
    }
  }
  return false;
}

ResTypeRecord* okr_res::FindType(ResDirectory* dir, uint32_t typeId) {
  for (uint32_t i = 0; i < *TypeCountWord(dir); ++i)
    if (TypeAt(dir, i)->typeId == typeId) return TypeAt(dir, i);
  return nullptr;
}

bool okr_res::FindIndexed(ResDirectory* dir, uint32_t typeId, uint32_t index, Cursor* outCursor) {
  ResTypeRecord* type = FindType(dir, typeId);
  if (type == nullptr || index >= type->entryCount) return false;
  for (Cursor c = FirstEntry(dir); c.entry != nullptr; NextEntry(&c)) {
    if (c.type != type || c.entryIndex != index) continue;
    *outCursor = c;
    return true;
  }
  return false;
}

ErrCode okr_res::SeekData(ResDirectory* dir, uint32_t dataOffset, uint32_t size) {
  uint64_t pos = uint64_t{dir->header.dataStart} + dataOffset;
  if (pos + size > kMaxFilePos) return errFileBounds;
  return FileSeek(GetLinks(dir).file, fileSeekStart, static_cast<int32_t>(pos));
}

extern "C" Handle ResFindFile(File* file) {
  Handle h = file == nullptr ? nullptr : FindFileByStream(file);
  if (h == nullptr) resLastError = errResFileNotFound;
  return h;
}

extern "C" ResEntry* ResFindEntry(Handle resHandle, ResDirectory** outDir, ResTypeRecord** outType,
                                  Handle* outDirHandle) {
  if (resHandle == nullptr) return nullptr;
  Cursor c;
  Handle dirHandle;
  if (!FindLoaded(resHandle, &c, &dirHandle)) {
    resLastError = errResNotFound;
    return nullptr;
  }
  if (outDir != nullptr) *outDir = c.dir;
  if (outType != nullptr) *outType = c.type;
  if (outDirHandle != nullptr) *outDirHandle = dirHandle;
  resLastError = errNone;
  return c.entry;
}

extern "C" ResEntry* ResNextStored(ResDirectory* dir, uint32_t fromOffset) {
  if (dir == nullptr) return nullptr;
  ResEntry* best = nullptr;
  for (Cursor c = FirstEntry(dir); c.entry != nullptr; NextEntry(&c)) {
    uint32_t offset = c.entry->dataOffset;
    if (offset == fromOffset) return c.entry;
    if (offset > fromOffset && (best == nullptr || offset < best->dataOffset)) best = c.entry;
  }
  return best;
}
