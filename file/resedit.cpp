// Adding and removing resources in the directory's working layout (see
// res_internal.h): an entry goes into its type's room, taken back from the
// room before the type or made as large again as the type when it runs
// out, so a long run of additions in any order of types costs linear time;
// a removal moves the entries on its shorter side, so a type empties in
// linear time from either end. Types are found through the type index.
// Either edit marks the file changed: the next flush compacts the data and
// stores the directory's canonical form.
#include "file/res_internal.h"

using namespace okr_res;

namespace {

// Absolute offset of the entry array of type record `index`.
uint32_t ArrayStart(ResDirectory* dir, uint32_t index) {
  return dir->typeListOffset + TypeAt(dir, index)->entryListOffset;
}

// Entries type record `index` has room for: up to the next array, or to
// the end of the directory.
uint32_t Room(ResDirectory* dir, uint32_t index) {
  uint32_t end =
      index + 1 < *TypeCountWord(dir) ? ArrayStart(dir, index + 1) : dir->header.dirLength;
  return (end - ArrayStart(dir, index)) / kEntrySize;
}

// Free cells right before the array of type record `index` that no other
// type counts on: the room in front of the first array, or what the room
// of the type before it holds beyond the room that type keeps for its own
// growth (as many cells as it has entries, four at least). Only removals
// leave such cells, so types that only grow never take each other's room.
uint32_t SpareBefore(ResDirectory* dir, uint32_t index) {
  uint32_t from = LinksOf(dir)->entryBase, keep = 0;
  if (index != 0) {
    uint32_t count = TypeAt(dir, index - 1)->entryCount;
    from = ArrayStart(dir, index - 1) + count * kEntrySize;
    keep = count < 4 ? 4 : count;
  }
  uint32_t before = (ArrayStart(dir, index) - from) / kEntrySize;
  return before > keep ? before - keep : 0;
}

// Free bytes between the type list and the first entry array.
uint32_t TypeListRoom(ResDirectory* dir) {
  uint32_t listEnd = dir->typeListOffset + kWordSize + *TypeCountWord(dir) * kTypeRecordSize;
  return LinksOf(dir)->entryBase - listEnd;
}

// Opens `bytes` bytes at directory offset `at`, moving what follows up; the
// room must be reserved. Type records from `firstType` on whose arrays
// follow move with them.
void OpenBytes(ResDirectory* dir, uint32_t at, uint32_t bytes, uint32_t firstType) {
  uint32_t length = dir->header.dirLength;
  SetDirLength(dir, length + bytes);
  memmove(Bytes(dir) + at + bytes, Bytes(dir) + at, length - at);
  memset(Bytes(dir) + at, 0, bytes);
  for (uint32_t i = firstType; i < *TypeCountWord(dir); ++i)
    TypeAt(dir, i)->entryListOffset += bytes;
}

// Room for `records` more type records: every entry array moves up, and the
// grid of cells with them, so the data slots stay as they are.
void OpenTypeRoom(ResDirectory* dir, uint32_t records) {
  ResLinks* links = LinksOf(dir);
  uint32_t bytes = records * kTypeRecordSize;
  uint32_t base = links->entryBase;
  OpenBytes(dir, base, bytes, 0);
  LinksOf(dir)->entryBase = base + bytes;
}

// Room for `cells` more entries of type record `index`: the later arrays
// and their slots move up.
void OpenCells(ResDirectory* dir, uint32_t index, uint32_t cells) {
  uint32_t end = ArrayStart(dir, index) + Room(dir, index) * kEntrySize;
  uint32_t firstCell = (end - LinksOf(dir)->entryBase) / kEntrySize;
  uint32_t later = CellCount(dir) - firstCell;
  OpenBytes(dir, end, cells * kEntrySize, index + 1);
  MoveSlots(dir, firstCell, firstCell + cells, later);
  for (uint32_t i = 0; i < cells; ++i)
    *SlotOf(dir, firstCell + i) = nullptr;
}

// What an addition to type record `index` (typeCount for a new type)
// needs: type records and cells to make, or cells of room before the array
// to slide it down over.
struct Growth {
  uint32_t typeRecords;
  uint32_t cells;
  uint32_t slide;
};

Growth GrowthFor(ResDirectory* dir, uint32_t index) {
  Growth g{0, 0, 0};
  uint32_t typeCount = *TypeCountWord(dir);
  if (index == typeCount) {
    // As many records again (two at least), so that a run of new types
    // moves the entry arrays a logarithmic number of times. Cells are
    // counted from entryBase, which moves with them.
    if (TypeListRoom(dir) < kTypeRecordSize) g.typeRecords = typeCount < 2 ? 2 : typeCount;
    g.cells = 4;
    return g;
  }
  uint32_t count = TypeAt(dir, index)->entryCount;
  if (count != Room(dir, index)) return g;
  // Spare room before the array is taken back when it is at least half the
  // array's length: the move then pays for itself.
  uint32_t spare = SpareBefore(dir, index);
  if (spare != 0 && 2 * uint64_t{spare} >= count)
    g.slide = spare;
  else
    g.cells = count < 4 ? 4 : count;
  return g;
}

// Cells that no growth of the types accounts for: each type's growth makes
// at most as many cells again as it has entries (four at least), so
// beyond twice that the cells are ones removals left behind.
bool HasMuchSpare(ResDirectory* dir) {
  uint64_t grown = 4 * uint64_t{LinksOf(dir)->entryTotal} + 8 * uint64_t{*TypeCountWord(dir)};
  return CellCount(dir) > grown + 64;
}

// Moves every entry array down over the spare room before it: each type
// keeps at most the room it keeps for its growth (see SpareBefore), the room
// in front goes, and the cells freed at the end are cut off. Without it,
// types emptied and new types added would take new cells forever, the
// emptied ones' cells staying room that only the type after takes back.
// Every array moves down, so one pass in type order moves each once.
void Repack(ResDirectory* dir) {
  uint32_t base = LinksOf(dir)->entryBase, typeCount = *TypeCountWord(dir);
  uint32_t to = 0;  // the cell where the next array goes
  for (uint32_t i = 0; i < typeCount; ++i) {
    ResTypeRecord* type = TypeAt(dir, i);
    uint32_t count = type->entryCount, room = Room(dir, i) - count;
    uint32_t keep = count < 4 ? 4 : count;
    ResEntry* first = EntryAt(dir, type, 0);
    uint32_t from = CellOf(dir, first);
    memmove(Bytes(dir) + base + to * kEntrySize, first, count * kEntrySize);
    MoveSlots(dir, from, to, count);
    type->entryListOffset = base + to * kEntrySize - dir->typeListOffset;
    to += count;
    for (uint32_t end = to + (room < keep ? room : keep); to < end; ++to)
      *SlotOf(dir, to) = nullptr;
  }
  SetDirLength(dir, base + to * kEntrySize);
}

// A type record for `typeId` with no entries and no room, after the others.
uint32_t AppendType(ResDirectory* dir, uint32_t typeId) {
  uint32_t index = (*TypeCountWord(dir))++;
  *TypeAt(dir, index) = ResTypeRecord{typeId, 0, dir->header.dirLength - dir->typeListOffset};
  return index;
}

// The entry a new resource starts with: no bytes yet, at the end of the data
// area, changed so that its data is written at the next write-back.
ResEntry NewEntry(const ResDirectory* dir) {
  return ResEntry{0, 0, dir->header.dataLength, 0, resAttrChanged, 0};
}

// Moves the entry array of type record `index` down over `cells` cells of
// the spare room before it; the cells it leaves become its room.
void SlideDown(ResDirectory* dir, uint32_t index, uint32_t cells) {
  ResTypeRecord* type = TypeAt(dir, index);
  ResEntry* first = EntryAt(dir, type, 0);
  uint32_t from = CellOf(dir, first), count = type->entryCount;
  memmove(first - cells, first, count * kEntrySize);
  MoveSlots(dir, from, from - cells, count);
  for (uint32_t cell = from + count - (cells < count ? cells : count); cell < from + count; ++cell)
    *SlotOf(dir, cell) = nullptr;
  type->entryListOffset -= cells * kEntrySize;
}

// Takes out type record `index`, whose entries are gone. Its cells become
// room of the type before, or room in front of the next array; with no
// type after, they are cut off the directory (with the room in front when
// no type is left). So no cell is left that no type owns, and adding and
// removing again reuses the same cells.
void RemoveType(ResDirectory* dir, uint32_t index) {
  UnindexType(dir, index);
  uint32_t start = ArrayStart(dir, index);
  uint32_t typeCount = --*TypeCountWord(dir);
  ResTypeRecord* type = TypeAt(dir, index);
  memmove(type, type + 1, (typeCount - index) * kTypeRecordSize);
  if (index == typeCount) SetDirLength(dir, typeCount == 0 ? LinksOf(dir)->entryBase : start);
}

// Takes the entry at `c` out of its array, and its type record when it was
// the last. Indices are positions, so the entries on one side of it move:
// those before it up a cell, the array then starting a cell later (its
// first cell becomes room before it), or those after it down (its last
// cell becomes its room), whichever are fewer.
void RemoveEntry(ResDirectory* dir, const Cursor& c) {
  uint32_t cell = CellOf(dir, c.entry);
  uint32_t before = c.entryIndex, after = c.type->entryCount - 1 - c.entryIndex;
  if (before < after) {
    memmove(c.entry - before + 1, c.entry - before, before * kEntrySize);
    MoveSlots(dir, cell - before, cell - before + 1, before);
    *SlotOf(dir, cell - before) = nullptr;
    c.type->entryListOffset += kEntrySize;
  } else {
    memmove(c.entry, c.entry + 1, after * kEntrySize);
    MoveSlots(dir, cell + 1, cell, after);
    *SlotOf(dir, cell + after) = nullptr;
  }
  --LinksOf(dir)->entryTotal;
  if (--c.type->entryCount == 0) RemoveType(dir, c.typeIndex);
}

}  // namespace

extern "C" ErrCode ResAddResource(File* file, uint32_t typeId, Handle dataHandle) {
  if (file == nullptr || dataHandle == nullptr) return Report(errNilPointer);
  Handle dirHandle = ResFindFile(file);
  if (dirHandle == nullptr) return errResFileNotFound;
  if (DirOf(dirHandle)->fileFlags & resFileFlagReadOnly) return Report(errResReadOnly);
  // Only a handle that carries memFlagResource can be some resource's data,
  // so only such a one is searched for.
  Cursor c;
  Handle owner;
  if ((MemGetFlags(dataHandle) & memFlagResource) && FindLoaded(dataHandle, &c, &owner))
    return Report(errResAlreadyInFile);
  // The reservations may move the directory; none changes what it holds.
  uint32_t index = LookUpType(DirOf(dirHandle), typeId);
  bool newType = index == *TypeCountWord(DirOf(dirHandle));
  ErrCode err = newType ? ReserveTypeIndex(dirHandle) : ErrCode{errNone};
  if (err != errNone) return Report(err);
  if (HasMuchSpare(DirOf(dirHandle))) Repack(DirOf(dirHandle));
  Growth g = GrowthFor(DirOf(dirHandle), index);
  err = ReserveRoom(dirHandle,
                    uint64_t{g.typeRecords} * kTypeRecordSize + uint64_t{g.cells} * kEntrySize,
                    g.cells);
  if (err == errNone) err = ReserveStaging(dirHandle, LinksOf(DirOf(dirHandle))->entryTotal + 1);
  if (err != errNone) return Report(err);
  ResDirectory* dir = DirOf(dirHandle);
  if (g.typeRecords != 0) OpenTypeRoom(dir, g.typeRecords);
  if (newType) {
    AppendType(dir, typeId);
    IndexType(dir, index);
  }
  if (g.slide != 0) SlideDown(dir, index, g.slide);
  if (g.cells != 0) OpenCells(dir, index, g.cells);
  ResTypeRecord* record = TypeAt(dir, index);
  ResEntry* entry = EntryAt(dir, record, record->entryCount++);
  *entry = NewEntry(dir);
  SetEntryData(dir, entry, dataHandle);
  NoteLoaded(dirHandle, CellOf(dir, entry));
  ++LinksOf(dir)->entryTotal;
  dir->fileFlags |= resFileFlagChanged;
  MemSetFlags(dataHandle, MemGetFlags(dataHandle) | memFlagResource);
  return Report(errNone);
}

extern "C" ErrCode ResRemoveResource(Handle resHandle) {
  Cursor c;
  Handle dirHandle;
  if (resHandle == nullptr || !FindLoaded(resHandle, &c, &dirHandle)) return Report(errResNotFound);
  if (c.dir->fileFlags & resFileFlagReadOnly) return Report(errResReadOnly);
  RemoveEntry(c.dir, c);
  c.dir->fileFlags |= resFileFlagChanged;
  DisposeResourceData(resHandle);
  return Report(errNone);
}
