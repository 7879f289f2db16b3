// The type index of an open file: a hash table from type id to the serial
// number of the id's first type record, so that finding a type costs the
// same however many types the file holds. Open addressing with linear
// probing, a power of two of slots, at most half of them taken; a removed
// slot is filled by shifting back the slots after it, so no tombstones
// build up. Serial numbers rise along the type list (a new record is the
// last and takes the next one), and the block keeps them per position, so
// a record's position is found from its serial number (a binary search,
// or at once while no record before it went), and taking a record out of
// the type list touches no slot of the others: the serial numbers after it
// move down a place with the records. Built in one pass when the file
// opens, kept right by every addition and removal of a type record,
// disposed of when the file closes.
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
  uint32_t record;  // serial number of the type record + 1; 0 for an empty slot
};

constexpr uint32_t kMinSlots = 8;
constexpr uint64_t kMaxIndexBytes = 0x80000000u;
constexpr uint32_t kLastSerial = 0xFFFFFFFEu;  // one more still fits a slot

// Bytes of the block for `slots` slots: the slots, then a serial number per
// type record, as many as half the slots.
uint64_t IndexBytes(uint64_t slots) {
  return slots * sizeof(TypeSlot) + slots / 2 * sizeof(uint32_t);
}

// Where the table of an open file is, and its geometry.
struct Table {
  TypeSlot* slots;
  uint32_t* serials;  // per position in the type list, rising
  uint32_t mask;      // slots - 1
  uint32_t seed;
};

Table TableOf(ResDirectory* dir) {
  const ResLinks* links = LinksOf(dir);
  TypeSlot* slots = static_cast<TypeSlot*>(links->typeIndex->data);
  return Table{slots, reinterpret_cast<uint32_t*>(slots + links->typeMask + 1), links->typeMask,
               links->typeSeed};
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
  return IndexBytes(slots) > kMaxIndexBytes ? 0 : slots;
}

// Fills the table from the type list: each id with its first record, the
// serial numbers counted afresh from 0.
void Fill(ResDirectory* dir) {
  Table t = TableOf(dir);
  ResLinks* links = LinksOf(dir);
  memset(t.slots, 0, (uint64_t{t.mask} + 1) * sizeof(TypeSlot));
  uint32_t typeCount = *TypeCountWord(dir);
  links->typeTwice = 0;
  for (uint32_t i = 0; i < typeCount; ++i) {
    uint32_t typeId = TypeAt(dir, i)->typeId;
    uint32_t slot = Probe(t, typeId);
    t.serials[i] = i;
    if (t.slots[slot].record == 0)
      t.slots[slot] = TypeSlot{typeId, i + 1};
    else
      ++links->typeTwice;
  }
  links->typeSerial = typeCount;
}

// The position of the type record whose serial number is `serial`, or
// typeCount when none has it. A record's position is never above its
// serial number: it had it when it came, and records only go before it.
uint32_t PositionOf(ResDirectory* dir, const Table& t, uint32_t serial) {
  uint32_t typeCount = *TypeCountWord(dir);
  if (serial < typeCount && t.serials[serial] == serial) return serial;
  uint32_t low = 0, high = serial < typeCount ? serial : typeCount;
  while (low < high) {
    OKR_STEP(stepTypeLookup, 1);
    uint32_t mid = low + (high - low) / 2;
    if (t.serials[mid] < serial)
      low = mid + 1;
    else
      high = mid;
  }
  return low < typeCount && t.serials[low] == serial ? low : typeCount;
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
  Handle index = MemNewHandle(static_cast<uint32_t>(IndexBytes(slots)));
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
  ErrCode err = MemSetHandleSize(index, static_cast<uint32_t>(IndexBytes(slots)));
  if (err != errNone) return err;
  dir = DirOf(dirHandle);  // the resize may have moved it
  LinksOf(dir)->typeMask = static_cast<uint32_t>(slots - 1);
  Fill(dir);
  return errNone;
}

uint32_t okr_res::LookUpType(ResDirectory* dir, uint32_t typeId) {
  Table t = TableOf(dir);
  uint32_t record = t.slots[Probe(t, typeId)].record;
  return record == 0 ? *TypeCountWord(dir) : PositionOf(dir, t, record - 1);
}

void okr_res::IndexType(ResDirectory* dir, uint32_t index) {
  ResLinks* links = LinksOf(dir);
  // Serial numbers run out after 4 G additions: they are counted afresh.
  if (links->typeSerial > kLastSerial) return Fill(dir);
  Table t = TableOf(dir);
  uint32_t typeId = TypeAt(dir, index)->typeId;
  uint32_t serial = links->typeSerial++;
  t.serials[index] = serial;
  uint32_t slot = Probe(t, typeId);
  if (t.slots[slot].record == 0)
    t.slots[slot] = TypeSlot{typeId, serial + 1};
  else
    ++links->typeTwice;
}

// Only a file that holds a type id twice has the type list walked, for the
// id's next record.
void okr_res::UnindexType(ResDirectory* dir, uint32_t index) {
  Table t = TableOf(dir);
  ResLinks* links = LinksOf(dir);
  uint32_t typeCount = *TypeCountWord(dir);
  uint32_t typeId = TypeAt(dir, index)->typeId;
  uint32_t slot = Probe(t, typeId);
  if (t.slots[slot].record != t.serials[index] + 1) {
    --links->typeTwice;  // a later record of its id
  } else {
    uint32_t next = index + 1;
    while (links->typeTwice != 0 && next < typeCount && TypeAt(dir, next)->typeId != typeId)
      ++next;
    if (links->typeTwice != 0 && next < typeCount) {
      t.slots[slot].record = t.serials[next] + 1;
      --links->typeTwice;
    } else {
      Erase(t, slot);
    }
  }
  memmove(t.serials + index, t.serials + index + 1, (typeCount - index - 1) * sizeof(uint32_t));
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
  if (MemGetHandleSize(index) != IndexBytes(count) || count < kMinSlots ||
      (count & (count - 1)) != 0 || count < 2 * uint64_t{typeCount})
    return false;
  // The serial numbers rise, below the next one to give.
  Table t = TableOf(dir);
  for (uint32_t i = 0; i < typeCount; ++i)
    if ((i > 0 && t.serials[i] <= t.serials[i - 1]) || t.serials[i] >= LinksOf(dir)->typeSerial)
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
  uint32_t taken = 0;
  for (uint32_t i = 0; i <= t.mask; ++i) {
    const TypeSlot& s = t.slots[i];
    if (s.record == 0) continue;
    uint32_t position = PositionOf(dir, t, s.record - 1);
    if (position == typeCount || TypeAt(dir, position)->typeId != s.typeId) return false;
    ++taken;
  }
  return taken == firsts && LinksOf(dir)->typeTwice == typeCount - firsts;
}
