// The directory's geometry at run time: the walk over entries, the block
// that holds the directory with its run-time values, the walker that checks
// the working layout's invariants (res_internal.h), and the searches
// through the chain of files.
#include "file/file_internal.h"
#include "file/res_internal.h"

using namespace okr_res;

namespace {

// Where FindLoaded found a handle last: the next search looks there and at
// the cells on either side first, so walks over a file's resources in
// order, forward or backward, find each at once. The file is looked at
// only while it is in the chain: one closed, or forgotten by ResInit, may
// be gone with its heap.
Handle resFoundDir = nullptr;
uint32_t resFoundCell = 0;

constexpr uint64_t kMaxBlock = 0xFFFFFFF0u;

// Block sizes keep the slots at the end aligned like the links.
uint64_t RoundToLinks(uint64_t size) {
  return (size + alignof(ResLinks) - 1) & ~uint64_t{alignof(ResLinks) - 1};
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

// The bytes the block needs beyond the directory: links, slots, scratch.
uint64_t RuntimeBytes(uint64_t cells) {
  return sizeof(ResLinks) + cells * (sizeof(Handle) + kScratchPerCell);
}

// The cell of `resHandle` in `dir`, or CellCount when it holds none. The
// slots lie in one array, so this is a plain scan over handles.
uint32_t FindSlot(ResDirectory* dir, Handle resHandle) {
  uint32_t cells = CellCount(dir), cell = 0;
  while (cell < cells && GetEntryDataAt(dir, cell) != resHandle)
    ++cell;
  OKR_STEP(stepSlotLook, cell < cells ? cell + 1 : cells);
  return cell;
}

bool Found(Handle dirHandle, uint32_t cell, Cursor* outCursor, Handle* outDirHandle) {
  NoteLoaded(dirHandle, cell);
  *outCursor = CursorAtCell(DirOf(dirHandle), cell);
  *outDirHandle = dirHandle;
  return true;
}

// True when the slots of cells [from, to) are empty.
bool RoomIsEmpty(ResDirectory* dir, uint32_t from, uint32_t to) {
  for (uint32_t cell = from; cell < to; ++cell)
    if (GetEntryDataAt(dir, cell) != nullptr) return false;
  return true;
}

// The entry arrays on the grid, in type order and apart, with empty room
// in front of and between them; *outTotal receives the number of entries.
bool ArraysHold(ResDirectory* dir, uint64_t* outTotal) {
  const ResLinks* links = LinksOf(dir);
  uint32_t reached = 0;  // the cell after the last array seen
  *outTotal = 0;
  for (uint32_t i = 0; i < *TypeCountWord(dir); ++i) {
    const ResTypeRecord* type = TypeAt(dir, i);
    uint64_t start = uint64_t{dir->typeListOffset} + type->entryListOffset;
    uint64_t end = start + uint64_t{type->entryCount} * kEntrySize;
    if (start < links->entryBase + uint64_t{reached} * kEntrySize || end > dir->header.dirLength ||
        (start - links->entryBase) % kEntrySize != 0)
      return false;
    uint32_t first = static_cast<uint32_t>((start - links->entryBase) / kEntrySize);
    if (!RoomIsEmpty(dir, reached, first)) return false;
    reached = first + type->entryCount;
    *outTotal += type->entryCount;
  }
  return RoomIsEmpty(dir, reached, CellCount(dir));
}

}  // namespace

uint32_t okr_res::BlockSizeFor(uint32_t dirLength, uint32_t cells) {
  uint64_t size = RoundToLinks(uint64_t{SideOffset(dirLength)} + RuntimeBytes(cells));
  return size > kMaxBlock ? 0 : static_cast<uint32_t>(size);
}

ErrCode okr_res::ReserveRoom(Handle dirHandle, uint64_t dirBytes, uint32_t cells) {
  ResDirectory* dir = DirOf(dirHandle);
  uint32_t count = CellCount(dir);
  // The sum is taken in 64 bits: a directory that would pass 4 GiB must not
  // wrap around to a small one.
  uint64_t length = dir->header.dirLength + dirBytes;
  if (length > kMaxBlock) return errMemOutOfMemory;
  uint64_t need =
      uint64_t{SideOffset(static_cast<uint32_t>(length))} + RuntimeBytes(uint64_t{count} + cells);
  uint32_t capacity = LinksOf(dir)->capacity;
  if (need <= capacity) return errNone;
  // Growing by half again keeps a long run of additions linear.
  uint64_t grown = RoundToLinks(need + need / 2);
  if (grown > kMaxBlock) grown = RoundToLinks(need);
  if (grown > kMaxBlock) return errMemOutOfMemory;
  ErrCode err = MemSetHandleSize(dirHandle, static_cast<uint32_t>(grown));
  if (err != errNone) return err;
  dir = DirOf(dirHandle);
  char* slots = Bytes(dir) + capacity - count * sizeof(Handle);
  memmove(Bytes(dir) + grown - count * sizeof(Handle), slots, count * sizeof(Handle));
  LinksOf(dir)->capacity = static_cast<uint32_t>(grown);
  return errNone;
}

void okr_res::SetDirLength(ResDirectory* dir, uint32_t dirLength) {
  char* from = Bytes(dir) + SideOffset(dir->header.dirLength);
  memmove(Bytes(dir) + SideOffset(dirLength), from, sizeof(ResLinks));
  dir->header.dirLength = dirLength;
}

void okr_res::MoveSlots(ResDirectory* dir, uint32_t from, uint32_t to, uint32_t count) {
  OKR_STEP(stepCellMove, count);
  if (count != 0)
    memmove(SlotOf(dir, to + count - 1), SlotOf(dir, from + count - 1), count * sizeof(Handle));
}

uint32_t* okr_res::ScratchOf(ResDirectory* dir) {
  return reinterpret_cast<uint32_t*>(reinterpret_cast<char*>(LinksOf(dir)) + sizeof(ResLinks));
}

uint32_t okr_res::StoredLength(ResDirectory* dir) {
  return kDirFixedSize + kWordSize + *TypeCountWord(dir) * kTypeRecordSize +
         LinksOf(dir)->entryTotal * kEntrySize;
}

Cursor okr_res::FirstEntry(ResDirectory* dir) {
  Cursor cursor{dir, 0, 0, nullptr, nullptr};
  Settle(&cursor);
  return cursor;
}

void okr_res::NextEntry(Cursor* cursor) {
  ++cursor->entryIndex;
  Settle(cursor);
}

// The arrays' starts rise with the type order, so the type whose array
// holds the cell is the last one that starts at or before it.
Cursor okr_res::CursorAtCell(ResDirectory* dir, uint32_t cell) {
  uint32_t at = LinksOf(dir)->entryBase + cell * kEntrySize;
  uint32_t typeCount = *TypeCountWord(dir);
  uint32_t low = 0, high = typeCount;  // the first type that starts after `at`
  while (low < high) {
    uint32_t mid = low + (high - low) / 2;
    if (dir->typeListOffset + TypeAt(dir, mid)->entryListOffset <= at)
      low = mid + 1;
    else
      high = mid;
  }
  if (low != 0) {
    ResTypeRecord* type = TypeAt(dir, low - 1);
    uint32_t start = dir->typeListOffset + type->entryListOffset;
    uint32_t index = (at - start) / kEntrySize;
    if (index < type->entryCount)
      return Cursor{dir, low - 1, index, type, EntryAt(dir, type, index)};
  }
  return Cursor{dir, typeCount, 0, nullptr, nullptr};
}

bool okr_res::IsOpenDirectory(Handle dirHandle) {
  for (Handle h = resCurrentFile; h != nullptr; h = LinksOf(DirOf(h))->nextFile)
    if (h == dirHandle) return true;
  return false;
}

bool okr_res::LayoutHolds(ResDirectory* dir) {
  const ResLinks* links = LinksOf(dir);
  uint32_t length = dir->header.dirLength;
  uint64_t listEnd = kDirFixedSize + kWordSize + uint64_t{*TypeCountWord(dir)} * kTypeRecordSize;
  if (dir->typeListOffset != kDirFixedSize || listEnd > links->entryBase ||
      links->entryBase > length || (length - links->entryBase) % kEntrySize != 0)
    return false;
  if (SideOffset(length) + RuntimeBytes(CellCount(dir)) > links->capacity) return false;
  if (*TypeCountWord(dir) == 0 && CellCount(dir) != 0) return false;
  uint64_t total = 0;
  if (!ArraysHold(dir, &total) || total != links->entryTotal) return false;
  for (Cursor c = FirstEntry(dir); c.entry != nullptr; NextEntry(&c))
    if (c.entry->dataSize != 0 &&
        uint64_t{c.entry->dataOffset} + c.entry->dataSize > dir->header.dataLength)
      return false;
  return TypeIndexHolds(dir);
}

Handle okr_res::FindFileByStream(File* file) {
  for (Handle h = resCurrentFile; h != nullptr; h = LinksOf(DirOf(h))->nextFile)
    if (LinksOf(DirOf(h))->file == file) return h;
  return nullptr;
}

void okr_res::NoteLoaded(Handle dirHandle, uint32_t cell) {
  resFoundDir = dirHandle;
  resFoundCell = cell;
}

bool okr_res::FindLoaded(Handle resHandle, Cursor* outCursor, Handle* outDirHandle) {
  if (resHandle == nullptr) return false;
  if (resFoundDir != nullptr && IsOpenDirectory(resFoundDir)) {
    ResDirectory* dir = DirOf(resFoundDir);
    uint32_t cells = CellCount(dir);
    uint32_t first = resFoundCell == 0 ? 0 : resFoundCell - 1;
    for (uint32_t cell = first; cell < cells && cell <= resFoundCell + 1; ++cell) {
      OKR_STEP(stepSlotLook, 1);
      if (GetEntryDataAt(dir, cell) == resHandle)
        return Found(resFoundDir, cell, outCursor, outDirHandle);
    }
  }
  for (Handle h = resCurrentFile; h != nullptr; h = LinksOf(DirOf(h))->nextFile) {
    uint32_t cell = FindSlot(DirOf(h), resHandle);
    if (cell < CellCount(DirOf(h))) return Found(h, cell, outCursor, outDirHandle);
  }
  return false;
}

ResTypeRecord* okr_res::FindType(ResDirectory* dir, uint32_t typeId) {
  uint32_t i = LookUpType(dir, typeId);
  return i < *TypeCountWord(dir) ? TypeAt(dir, i) : nullptr;
}

bool okr_res::FindIndexed(ResDirectory* dir, uint32_t typeId, uint32_t index, Cursor* outCursor) {
  uint32_t i = LookUpType(dir, typeId);
  if (i >= *TypeCountWord(dir)) return false;
  ResTypeRecord* type = TypeAt(dir, i);
  if (index >= type->entryCount) return false;
  *outCursor = Cursor{dir, i, index, type, EntryAt(dir, type, index)};
  return true;
}

ErrCode okr_res::SeekData(ResDirectory* dir, uint32_t dataOffset, uint32_t size, int32_t* outPos) {
  return SeekPlace(dir, uint64_t{dir->header.dataStart} + dataOffset, size, outPos);
}

ErrCode okr_res::SeekPlace(ResDirectory* dir, uint64_t place, uint32_t size, int32_t* outPos) {
  if (place + size > kMaxFilePos) return errFileBounds;
  if (outPos != nullptr) *outPos = static_cast<int32_t>(place);
  return FileSeekTo(LinksOf(dir)->file, static_cast<int32_t>(place));
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
