// Adding and removing resources in the directory's working layout (see
// res_internal.h): an entry goes into its type's room, taken back from the
// room before the type or made as large again as the type when it runs
// out (the types around it laid out afresh when many cells would move for
// it), so a long run of additions in any order of types moves a few dozen
// cells per addition on average when the types are of like sizes (see
// res_internal.h for a large type beside small growing ones);
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

// The room a type keeps for its growth: as many cells again as it has
// entries, four at least.
uint32_t KeepFor(uint32_t count) {
  return count < 4 ? 4 : count;
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
// growth (KeepFor). Removals leave such cells, and so may a sparse run of
// types laid out afresh; types that only grow never take the room a type
// keeps for itself.
uint32_t SpareBefore(ResDirectory* dir, uint32_t index) {
  uint32_t from = LinksOf(dir)->entryBase, keep = 0;
  if (index != 0) {
    uint32_t count = TypeAt(dir, index - 1)->entryCount;
    from = ArrayStart(dir, index - 1) + count * kEntrySize;
    keep = KeepFor(count);
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

// The cells a repack (Repack) gives a type of `count` entries with room
// for `room`: its entries and the spare room it has, up to the room it
// keeps for its growth (KeepFor).
uint32_t RelaidRoom(uint32_t count, uint32_t room) {
  uint32_t keep = KeepFor(count), spare = room - count;
  return count + (spare < keep ? spare : keep);
}

// Moves the entry array of type record `index` to cell `to`, its data slots
// with it.
void MoveArray(ResDirectory* dir, uint32_t index, uint32_t to) {
  ResTypeRecord* type = TypeAt(dir, index);
  uint32_t base = LinksOf(dir)->entryBase;
  uint32_t from = (ArrayStart(dir, index) - base) / kEntrySize;
  if (from == to) return;
  memmove(Bytes(dir) + base + to * kEntrySize, EntryAt(dir, type, 0),
          type->entryCount * kEntrySize);
  MoveSlots(dir, from, to, type->entryCount);
  type->entryListOffset = base + to * kEntrySize - dir->typeListOffset;
}

// First cell of the array of type record `index`, counted on the grid.
uint32_t StartCell(ResDirectory* dir, uint32_t index) {
  return (ArrayStart(dir, index) - LinksOf(dir)->entryBase) / kEntrySize;
}

// Type records [first, last), whose arrays and their room fill cells
// [begin, end) of the grid (the room in front with the first type's).
struct Window {
  uint32_t first, last, begin, end;
};

bool IsEmpty(const Window& w) {
  return w.first == w.last;
}

// Empties the slots of the cells of window `w` that hold no entry.
void ClearRoom(ResDirectory* dir, const Window& w) {
  for (uint32_t i = w.first; i < w.last; ++i) {
    uint32_t end = i + 1 < w.last ? StartCell(dir, i + 1) : w.end;
    for (uint32_t cell = StartCell(dir, i) + TypeAt(dir, i)->entryCount; cell < end; ++cell)
      *SlotOf(dir, cell) = nullptr;
  }
}

// Lays the arrays of window `w` out afresh in its cells, from its first
// cell on: each type gets its entries and a share of the spare cells in
// proportion to them, type record `grower` `need` cells more and what the
// shares leave over. The shares depend on the counts alone, so each array's
// new start is a sum over the types before it. Arrays that go up move from
// the last one down, then those that go down from the first one up: each
// lands only on cells no array still needs.
void LayOut(ResDirectory* dir, const Window& w, uint32_t grower, uint32_t need) {
  uint64_t entries = 0;
  for (uint32_t i = w.first; i < w.last; ++i)
    entries += TypeAt(dir, i)->entryCount;
  uint64_t spare = w.end - w.begin - entries - need;
  auto shareOf = [&](uint32_t i) {
    uint64_t count = TypeAt(dir, i)->entryCount;
    return static_cast<uint32_t>(count + (entries != 0 ? spare * count / entries : 0));
  };
  uint32_t leftOver = w.end - w.begin;
  for (uint32_t i = w.first; i < w.last; ++i)
    leftOver -= shareOf(i);
  auto roomOf = [&](uint32_t i) { return shareOf(i) + (i == grower ? leftOver : 0); };
  for (uint32_t i = w.last, at = w.end; i-- > w.first;) {
    at -= roomOf(i);
    if (at > StartCell(dir, i)) MoveArray(dir, i, at);
  }
  for (uint32_t i = w.first, at = w.begin; i < w.last; at += roomOf(i++))
    MoveArray(dir, i, at);
  ClearRoom(dir, w);
}

// Moves every entry array down over the spare room before it: each type
// keeps at most the room it keeps for its growth (see SpareBefore), the room
// in front goes, and the cells freed at the end are cut off. Without it,
// types emptied and new types added would take new cells forever, the
// emptied ones' cells staying room that only the type after takes back.
// No array moves up, so no room needs reserving, and each one's room is
// read before it moves (the next array has not moved yet).
void Repack(ResDirectory* dir) {
  uint32_t typeCount = *TypeCountWord(dir), at = 0;
  for (uint32_t i = 0; i < typeCount; ++i) {
    uint32_t room = RelaidRoom(TypeAt(dir, i)->entryCount, Room(dir, i));
    MoveArray(dir, i, at);
    at += room;
  }
  ClearRoom(dir, Window{0, typeCount, 0, at});
  SetDirLength(dir, LinksOf(dir)->entryBase + at * kEntrySize);
}

// Windows: the types around a type out of room, in aligned runs of 2, 4,
// 8... records up to all of them, `levels` sizes in all. The smallest run
// whose entries, with the ones to come, fill at most a limit of its cells is
// laid out afresh in them; the limit comes down from nearly all for the
// smallest run to three quarters for all types (with none fit, every array
// is laid out on a grid of twice the entries). A run so laid out leaves
// each run inside it below that run's higher limit by a margin in
// proportion to its cells, which additions must fill before it is laid out
// again: so the cells a type's growth moves stay few per addition on
// average in any order of types of like sizes (the thresholds of a packed
// memory array).
bool Fits(uint64_t entries, uint64_t cells, uint32_t level, uint32_t levels) {
  return 4 * uint64_t{levels} * entries <= (4 * uint64_t{levels} - level) * cells;
}

// The run of 2^`level` type records around `index`.
Window WindowOf(ResDirectory* dir, uint32_t index, uint32_t level) {
  uint32_t typeCount = *TypeCountWord(dir);
  uint64_t size = uint64_t{1} << level;
  uint32_t first = static_cast<uint32_t>(index / size * size);
  uint32_t last = first + size < typeCount ? static_cast<uint32_t>(first + size) : typeCount;
  return Window{first, last, first == 0 ? 0 : StartCell(dir, first),
                last == typeCount ? CellCount(dir) : StartCell(dir, last)};
}

// What an addition to type record `index` (typeCount for a new type)
// needs: type records to make, and at most one of cells to make after its
// array, cells of room before the array to slide it down over, a window to
// lay out afresh, or a grid of `grid` cells to lay every array out in. A
// laid-out window or grid gives the type `need` cells at least.
struct Growth {
  uint32_t typeRecords;
  uint32_t cells;
  uint32_t slide;
  Window window;
  uint32_t grid;
  uint32_t need;
};

// The smallest window around type record `index` that fits `need` more
// entries; an empty one when none does.
Window FittingWindow(ResDirectory* dir, uint32_t index, uint32_t need) {
  uint32_t typeCount = *TypeCountWord(dir), levels = 0;
  while ((uint64_t{1} << levels) < typeCount)
    ++levels;
  for (uint32_t level = 1; level <= levels; ++level) {
    Window w = WindowOf(dir, index, level);
    uint64_t entries = need;
    for (uint32_t i = w.first; i < w.last; ++i)
      entries += TypeAt(dir, i)->entryCount;
    if (Fits(entries, w.end - w.begin, level, levels)) return w;
  }
  return Window{0, 0, 0, 0};
}

Growth GrowthFor(ResDirectory* dir, uint32_t index) {
  Growth g{0, 0, 0, Window{0, 0, 0, 0}, 0, 0};
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
  if (spare != 0 && 2 * uint64_t{spare} >= count) {
    g.slide = spare;
    return g;
  }
  // Room made by moving the arrays after this one up, unless they hold many
  // times the cells it makes: then a window of types around it is laid out
  // afresh, or every type in a larger grid.
  uint32_t keep = KeepFor(count);
  if (CellCount(dir) - (StartCell(dir, index) + count) > 4 * uint64_t{keep}) {
    g.need = keep;
    g.window = FittingWindow(dir, index, g.need);
    if (!IsEmpty(g.window)) return g;
    uint64_t entries = uint64_t{LinksOf(dir)->entryTotal} + g.need;
    uint64_t grid = 2 * entries;
    if (grid > CellCount(dir) && grid <= UINT32_MAX / kEntrySize) {
      g.grid = static_cast<uint32_t>(grid);
      return g;
    }
  }
  g.cells = keep;
  return g;
}

// The room in the block that growth `g` needs.
ErrCode ReserveGrowth(Handle dirHandle, const Growth& g) {
  uint32_t cells = CellCount(DirOf(dirHandle));  // a new grid: only those it adds
  uint32_t more = g.grid > cells ? g.grid - cells : g.cells;
  return ReserveRoom(dirHandle,
                     uint64_t{g.typeRecords} * kTypeRecordSize + uint64_t{more} * kEntrySize, more);
}

// Lays every array out afresh in a larger grid of `cells` cells (reserved;
// a grid is made only when the old one is over three quarters full, and
// holds twice the entries), type record `grower` given `need` cells more.
void Regrid(ResDirectory* dir, uint32_t cells, uint32_t grower, uint32_t need) {
  SetDirLength(dir, LinksOf(dir)->entryBase + cells * kEntrySize);
  LayOut(dir, Window{0, *TypeCountWord(dir), 0, cells}, grower, need);
}

// Cells that no growth of the types accounts for: each type's growth makes
// at most as many cells again as it has entries (four at least), so
// beyond twice that the cells are ones removals left behind.
bool HasMuchSpare(ResDirectory* dir) {
  uint64_t grown = 4 * uint64_t{LinksOf(dir)->entryTotal} + 8 * uint64_t{*TypeCountWord(dir)};
  return CellCount(dir) > grown + 64;
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
// removing again reuses the same cells. The records after it move down one
// (and their serial numbers in the type index): emptying many types from
// the first one on costs the square of their number, 16 bytes a pair.
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
  err = ReserveGrowth(dirHandle, g);
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
  if (!IsEmpty(g.window)) LayOut(dir, g.window, index, g.need);
  if (g.grid != 0) Regrid(dir, g.grid, index, g.need);
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
