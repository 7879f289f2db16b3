// Adding and removing resources in the directory's working layout (see
// res_internal.h): an entry goes into its type's room, taken back from the
// room before the type or made as large again as the type when it runs
// out (the other types given some room too when many cells would move for
// it), so a long run of additions costs linear time when the types fill up
// together (see res_internal.h for the orders that still cost more);
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
// growth (KeepFor). Only removals leave such cells, so types that only grow
// never take each other's room.
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

// A relayout that makes room for no type's growth (see Repack).
constexpr uint32_t kNoGrower = UINT32_MAX;

// The cells a relayout (Relayout) gives type record `index`, of `count`
// entries with room for `room`: its entries and the spare room it has, up
// to the room it keeps for its growth (KeepFor). The type that grows gets
// all of that room; when a type grows, every other one gets room for a
// quarter of its entries at least (one at least).
uint32_t RelaidRoom(uint32_t count, uint32_t room, uint32_t index, uint32_t grower) {
  uint32_t keep = KeepFor(count), spare = room - count, least = 0;
  if (index == grower) {
    least = keep;
  } else if (grower != kNoGrower) {
    least = count / 4 > 0 ? count / 4 : 1;
  }
  if (spare > keep) spare = keep;
  return count + (spare > least ? spare : least);
}

// Cells of the grid after a relayout for type record `grower`'s sake.
uint64_t RelaidCells(ResDirectory* dir, uint32_t grower) {
  uint64_t cells = 0;
  for (uint32_t i = 0, n = *TypeCountWord(dir); i < n; ++i)
    cells += RelaidRoom(TypeAt(dir, i)->entryCount, Room(dir, i), i, grower);
  return cells;
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

// Lays the arrays out afresh in type order from the start of the grid, each
// with the room RelaidRoom gives it, within `cells` cells (RelaidCells;
// reserved): for type record `grower`'s sake, out of room, or for none's.
// Arrays that go up move from the last one down, then those that go down
// from the first one up: each lands only on cells no array still needs.
// The new starts take a scratch word per type, in the larger grid's
// scratch, which has a cell per type at least: a relayout for growth
// gives every type a cell, and a repack comes only with more than eight
// cells per type.
// Types filling up in turn grow by a quarter at least between relayouts, so
// each cell moves a few times in all, where making room for one type at a
// time moved the arrays after it every time (quadratic in the types).
void Relayout(ResDirectory* dir, uint32_t grower, uint32_t cells) {
  uint32_t typeCount = *TypeCountWord(dir), base = LinksOf(dir)->entryBase;
  uint32_t oldCells = CellCount(dir);
  uint32_t lastRoom = typeCount != 0 ? Room(dir, typeCount - 1) : 0;  // before dirLength changes
  if (cells > oldCells) SetDirLength(dir, base + cells * kEntrySize);
  uint32_t* to = ScratchOf(dir);  // each array's new first cell
  for (uint32_t i = 0, next = 0; i < typeCount; ++i) {
    to[i] = next;
    uint32_t room = i + 1 < typeCount ? Room(dir, i) : lastRoom;
    next += RelaidRoom(TypeAt(dir, i)->entryCount, room, i, grower);
  }
  for (uint32_t i = typeCount; i-- > 0;)
    if (to[i] > (ArrayStart(dir, i) - base) / kEntrySize) MoveArray(dir, i, to[i]);
  for (uint32_t i = 0; i < typeCount; ++i)
    MoveArray(dir, i, to[i]);
  for (uint32_t i = 0; i < typeCount; ++i) {
    uint32_t end = i + 1 < typeCount ? to[i + 1] : cells;
    for (uint32_t cell = to[i] + TypeAt(dir, i)->entryCount; cell < end; ++cell)
      *SlotOf(dir, cell) = nullptr;
  }
  if (cells < oldCells) SetDirLength(dir, base + cells * kEntrySize);  // `to` is done with
}

// What an addition to type record `index` (typeCount for a new type)
// needs: type records to make, and at most one of cells to make after its
// array, cells of room before the array to slide it down over, or a
// relayout within `relaid` cells.
struct Growth {
  uint32_t typeRecords;
  uint32_t cells;
  uint32_t slide;
  uint32_t relaid;
};

Growth GrowthFor(ResDirectory* dir, uint32_t index) {
  Growth g{0, 0, 0, 0};
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
  // times the cells it makes: then every type is given room at once.
  uint32_t keep = KeepFor(count);
  uint32_t end = (ArrayStart(dir, index) - LinksOf(dir)->entryBase) / kEntrySize + count;
  if (CellCount(dir) - end > 4 * uint64_t{keep}) {
    uint64_t cells = RelaidCells(dir, index);
    if (cells <= UINT32_MAX / kEntrySize) {
      g.relaid = static_cast<uint32_t>(cells);
      return g;
    }
  }
  g.cells = keep;
  return g;
}

// The room in the block that growth `g` needs.
ErrCode ReserveGrowth(Handle dirHandle, const Growth& g) {
  uint32_t cells = CellCount(DirOf(dirHandle));  // a relayout: only those it adds
  uint32_t more = g.relaid > cells ? g.relaid - cells : g.cells;
  return ReserveRoom(dirHandle,
                     uint64_t{g.typeRecords} * kTypeRecordSize + uint64_t{more} * kEntrySize, more);
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
// No array moves up, so no room needs reserving.
void Repack(ResDirectory* dir) {
  Relayout(dir, kNoGrower, static_cast<uint32_t>(RelaidCells(dir, kNoGrower)));
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
  if (g.relaid != 0) Relayout(dir, index, g.relaid);
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
