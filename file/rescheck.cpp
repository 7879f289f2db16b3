// The check of an untrusted directory before anything is linked: every
// offset and count inside the directory, entry arrays apart from each other,
// every resource inside the data area and none overlapping another.
#include <algorithm>

#include "file/res_internal.h"

using namespace okr_res;

namespace {

bool Aligned(uint64_t offset) {
  return offset % kWordSize == 0;
}

// The fixed part, the header copy and the type list. The directory read
// from `dirOffset` must lie apart from the data area: a resource written in
// place would otherwise overwrite it in the file.
bool CheckFixedPart(ResDirectory* dir, uint32_t dirOffset, uint32_t length, uint32_t fileSize) {
  const ResFileHeader& h = dir->header;
  if (length < kDirFixedSize || h.dirLength != length || h.version != resVersion) return false;
  uint64_t dataEnd = uint64_t{h.dataStart} + h.dataLength;
  if (h.dataStart < kHeaderSize || dataEnd > fileSize) return false;
  if (h.dataLength != 0 && dirOffset < dataEnd && uint64_t{dirOffset} + length > h.dataStart)
    return false;
  uint64_t list = dir->typeListOffset;
  if (list < kDirFixedSize || !Aligned(list) || list + kWordSize > length) return false;
  return list + kWordSize + uint64_t{*TypeCountWord(dir)} * kTypeRecordSize <= length;
}

// Each type's entry array lies after the type list and inside the directory.
// Counts the entries into *outTotal.
bool CheckTypes(ResDirectory* dir, uint32_t length, uint64_t* outTotal) {
  uint32_t typeCount = *TypeCountWord(dir);
  uint64_t listEnd = kWordSize + uint64_t{typeCount} * kTypeRecordSize;
  *outTotal = 0;
  for (uint32_t i = 0; i < typeCount; ++i) {
    const ResTypeRecord* t = TypeAt(dir, i);
    uint64_t end = uint64_t{t->entryListOffset} + uint64_t{t->entryCount} * kEntrySize;
    if (t->entryListOffset < listEnd || !Aligned(t->entryListOffset)) return false;
    if (dir->typeListOffset + end > length) return false;
    *outTotal += t->entryCount;
  }
  return true;
}

// True when no two non-empty spans overlap.
bool Disjoint(Range* spans, uint32_t count) {
  std::sort(spans, spans + count, [](const Range& a, const Range& b) { return a.begin < b.begin; });
  uint64_t reached = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (spans[i].begin == spans[i].end) continue;
    if (spans[i].begin < reached) return false;
    reached = spans[i].end;
  }
  return true;
}

bool EntryArraysDisjoint(ResDirectory* dir, Range* spans) {
  uint32_t typeCount = *TypeCountWord(dir);
  for (uint32_t i = 0; i < typeCount; ++i) {
    const ResTypeRecord* t = TypeAt(dir, i);
    spans[i] = {t->entryListOffset, t->entryListOffset + uint64_t{t->entryCount} * kEntrySize};
  }
  return Disjoint(spans, typeCount);
}

bool ResourcesInPlace(ResDirectory* dir, Range* spans) {
  uint32_t n = 0;
  for (Cursor c = FirstEntry(dir); c.entry != nullptr; NextEntry(&c)) {
    Range s{c.entry->dataOffset, uint64_t{c.entry->dataOffset} + c.entry->dataSize};
    if (s.end > dir->header.dataLength) return false;
    spans[n++] = s;
  }
  return Disjoint(spans, n);
}

// The checks that need scratch room: one span per type and per entry.
ErrCode CheckPlacement(Handle dirHandle, uint32_t typeCount, uint64_t entryTotal) {
  uint64_t items = std::max<uint64_t>(typeCount, entryTotal);
  if (items * sizeof(Range) > 0xFFFFFFFFu) return errResInvalidFile;
  Handle scratch = MemNewHandle(static_cast<uint32_t>(items * sizeof(Range)));
  if (scratch == nullptr) return MemGetError();
  MemLockHandle(scratch);
  Range* spans = static_cast<Range*>(scratch->data);
  ResDirectory* dir = DirOf(dirHandle);  // the allocation may have moved it
  bool ok = EntryArraysDisjoint(dir, spans) && ResourcesInPlace(dir, spans);
  MemDisposeHandle(scratch);
  return ok ? ErrCode{errNone} : ErrCode{errResInvalidFile};
}

}  // namespace

ErrCode okr_res::CheckDirectory(Handle dirHandle, const ResFileHeader& header, uint32_t fileSize) {
  ResDirectory* dir = DirOf(dirHandle);
  uint32_t length = header.dirLength;
  uint64_t entryTotal = 0;
  if (!CheckFixedPart(dir, header.dirOffset, length, fileSize) ||
      !CheckTypes(dir, length, &entryTotal))
    return errResInvalidFile;
  // Entry arrays that lie apart hold at most length / kEntrySize entries;
  // more means some of them overlap.
  if (entryTotal > length / kEntrySize) return errResInvalidFile;
  return CheckPlacement(dirHandle, *TypeCountWord(dir), entryTotal);
}
