// The type index of an open file: a hash table from type id to the position
// of the id's first type record, so that finding a type costs the same
// however many types the file holds. Open addressing with linear probing,
// a power of two of slots, at most half of them taken; a removed slot is
// filled by shifting back the slots after it, so no tombstones build up.
// Built in one pass when the file opens, kept right by every addition and
// removal of a type record, disposed of when the file closes.
//
// Its memory is a handle of the current heap, like the directory's own
// block, but a block apart: the directory's block changes length with
// dirLength and keeps the data slots at its end, so a table inside it would
// move with either, while a block of its own grows by a resize and one pass
// over the type list. The block is never locked: its address is taken from
// the handle at every use, and no address into it is kept across a call
// that may allocate.
#include "file/res_internal.h"

using namespace okr_res;

namespace {

struct TypeSlot {
  uint32_t typeId;
  uint32_t record;  // position of the type record + 1; 0 for an empty slot
};

constexpr uint32_t kMinSlots = 8;
constexpr uint64_t kMaxIndexBytes = 0x80000000u;

// Where the table of an open file is, and its geometry.
struct Table {
  TypeSlot* slots;
  uint32_t mask;  // slots - 1
  uint32_t seed;
};

Table TableOf(ResDirectory* dir) {
  const ResLinks* links = LinksOf(dir);
  return Table{static_cast<TypeSlot*>(links->typeIndex->data), links->typeMask, links->typeSeed};
}

// The slot where the search for `typeId` starts: the id mixed with the
// table's seed by the 32-bit finalizer of MurmurHash3, whose every output
// bit depends on every input bit (type ids are often four letters that
// differ in one byte).
uint32_t Home(const Table& t, uint32_t typeId) {
  uint32_t h = typeId ^ t.seed;
  h ^= h >> 16;
  h *= 0x85EBCA6Bu;
  h ^= h >> 13;
  h *= 0xC2B2AE35u;
  h ^= h >> 16;
  return h & t.mask;
}

// The slot that holds `typeId`, or the empty one where it would go (the
// table is never full).
uint32_t Probe(const Table& t, uint32_t typeId) {
  uint32_t i = Home(t, typeId);
  OKR_STEP(stepTypeLookup, 1);
  while (t.slots[i].record != 0 && t.slots[i].typeId != typeId) {
    i = (i + 1) & t.mask;
    OKR_STEP(stepTypeLookup, 1);
  }
  return i;
}

// Empties slot `hole`: each later slot of its run whose search starts at
// or before the hole moves into it, leaving a hole behind it in turn.
void Erase(const Table& t, uint32_t hole) {
  for (uint32_t next = (hole + 1) & t.mask; t.slots[next].record != 0; next = (next + 1) & t.mask) {
    uint32_t home = Home(t, t.slots[next].typeId);
    if (((next - home) & t.mask) < ((next - hole) & t.mask)) continue;
    t.slots[hole] = t.slots[next];
    hole = next;
  }
  t.slots[hole] = TypeSlot{0, 0};
}

// Slots for `types` types: a power of two, at least twice their number.
// 0 when the table would pass kMaxIndexBytes.
uint64_t SlotsFor(uint64_t types) {
  uint64_t slots = kMinSlots;
  while (slots < 2 * types)
    slots *= 2;
  return slots * sizeof(TypeSlot) > kMaxIndexBytes ? 0 : slots;
}

// Fills the table from the type list: each id with its first record.
void Fill(ResDirectory* dir) {
  Table t = TableOf(dir);
  memset(t.slots, 0, (uint64_t{t.mask} + 1) * sizeof(TypeSlot));
  uint32_t typeCount = *TypeCountWord(dir);
  for (uint32_t i = 0; i < typeCount; ++i) {
    uint32_t typeId = TypeAt(dir, i)->typeId;
    uint32_t slot = Probe(t, typeId);
    if (t.slots[slot].record == 0) t.slots[slot] = TypeSlot{typeId, i + 1};
  }
}

// A seed that differs between runs (the heap's address goes into it), so
// that no file can name type ids chosen to share one run of slots.
uint32_t SeedFor(Handle index) {
  uint64_t address = reinterpret_cast<uintptr_t>(index);
  return static_cast<uint32_t>(address ^ (address >> 32)) * 0x9E3779B9u;
}

}  // namespace

ErrCode okr_res::OpenTypeIndex(Handle dirHandle) {
  uint64_t slots = SlotsFor(*TypeCountWord(DirOf(dirHandle)));
  if (slots == 0) return errMemOutOfMemory;
  Handle index = MemNewHandle(static_cast<uint32_t>(slots * sizeof(TypeSlot)));
  if (index == nullptr) return MemGetError();
  ResLinks* links = LinksOf(DirOf(dirHandle));  // the allocation may have moved it
  links->typeIndex = index;
  links->typeMask = static_cast<uint32_t>(slots - 1);
  links->typeSeed = SeedFor(index);
  Fill(DirOf(dirHandle));
  return errNone;
}

ErrCode okr_res::ReserveTypeIndex(Handle dirHandle) {
  ResDirectory* dir = DirOf(dirHandle);
  Handle index = LinksOf(dir)->typeIndex;
  uint64_t slots = SlotsFor(uint64_t{*TypeCountWord(dir)} + 1);
  if (slots == 0) return errMemOutOfMemory;
  if (slots <= uint64_t{LinksOf(dir)->typeMask} + 1) return errNone;
  // A failed resize keeps the block and its contents.
  ErrCode err = MemSetHandleSize(index, static_cast<uint32_t>(slots * sizeof(TypeSlot)));
  if (err != errNone) return err;
  dir = DirOf(dirHandle);  // the resize may have moved it
  LinksOf(dir)->typeMask = static_cast<uint32_t>(slots - 1);
  Fill(dir);
  return errNone;
}

uint32_t okr_res::LookUpType(ResDirectory* dir, uint32_t typeId) {
  Table t = TableOf(dir);
  uint32_t record = t.slots[Probe(t, typeId)].record;
  return record == 0 ? *TypeCountWord(dir) : record - 1;
}

void okr_res::IndexType(ResDirectory* dir, uint32_t index) {
  Table t = TableOf(dir);
  uint32_t typeId = TypeAt(dir, index)->typeId;
  uint32_t slot = Probe(t, typeId);
  if (t.slots[slot].record == 0) t.slots[slot] = TypeSlot{typeId, index + 1};
}

// The records after `index` are looked up one by one: as many steps as the
// type list's move of them takes bytes, give or take a factor.
void okr_res::UnindexType(ResDirectory* dir, uint32_t index) {
  Table t = TableOf(dir);
  uint32_t typeCount = *TypeCountWord(dir);
  uint32_t typeId = TypeAt(dir, index)->typeId;
  uint32_t slot = Probe(t, typeId);
  if (t.slots[slot].record == index + 1) Erase(t, slot);
  for (uint32_t i = index + 1; i < typeCount; ++i) {
    uint32_t laterId = TypeAt(dir, i)->typeId;
    slot = Probe(t, laterId);
    // Record i becomes record i - 1, stored as i.
    if (t.slots[slot].record == i + 1)
      t.slots[slot].record = i;
    else if (t.slots[slot].record == 0 && laterId == typeId)
      t.slots[slot] = TypeSlot{typeId, i};
  }
}

void okr_res::CloseTypeIndex(ResDirectory* dir) {
  ResLinks* links = LinksOf(dir);
  MemDisposeHandle(links->typeIndex);
  links->typeIndex = nullptr;
}

bool okr_res::TypeIndexHolds(ResDirectory* dir) {
  Handle index = LinksOf(dir)->typeIndex;
  if (index == nullptr) return false;
  uint64_t count = uint64_t{LinksOf(dir)->typeMask} + 1;
  uint32_t typeCount = *TypeCountWord(dir);
  if (MemGetHandleSize(index) != count * sizeof(TypeSlot) || count < kMinSlots ||
      (count & (count - 1)) != 0 || count < 2 * uint64_t{typeCount})
    return false;
  // Every record finds its id's first record, so no id is found at a later
  // one; the first records are as many as the slots taken, and each slot
  // taken names a record of its id.
  uint32_t firsts = 0;
  for (uint32_t i = 0; i < typeCount; ++i) {
    uint32_t typeId = TypeAt(dir, i)->typeId;
    uint32_t found = LookUpType(dir, typeId);
    if (found > i || TypeAt(dir, found)->typeId != typeId) return false;
    firsts += found == i;
  }
  Table t = TableOf(dir);
  uint32_t taken = 0;
  for (uint32_t i = 0; i <= t.mask; ++i) {
    const TypeSlot& s = t.slots[i];
    if (s.record == 0) continue;
    if (s.record > typeCount || TypeAt(dir, s.record - 1)->typeId != s.typeId) return false;
    ++taken;
  }
  return taken == firsts;
}
