// Rewrites in place, staged. A resource written back at its place (one that
// did not grow) must not change there while the stored directory names
// those bytes: a crash would find them half old and half new, or a shrunk
// resource's new bytes followed by its old tail. So its new bytes go to the
// staging region first, beyond everything the file uses, where nothing
// points. The flush stores a directory that names them there, copies them
// to their places, and stores a directory that names those (SettleInPlace,
// then the home or a new directory; or the compaction, which copies them
// straight to their packed places).
//
// The staged table maps a resource's data offset to the file offset of its
// latest staged bytes: open addressing on the offset, linear probing.
//
// Invariants: the staging region lies beyond everything the stored
// directory names, and beyond the data area in memory as long as no append
// had to jump over stored data (MakeAppendRoom moves it out of the way of
// appended data); it never grows over the stored directory, which such an
// append may have moved right behind it, nor over data appended right
// behind it (StagePlace then moves the region beyond); every record's bytes
// lie in it. A record speaks for the
// resource of nonzero size that lies at its offset: one that grew or was
// removed leaves a stale record, which nothing reads, since no other
// resource comes to lie at that offset before the next compaction, which
// empties the table. The table has room for twice as many records as the
// file has resources, and is purged of stale records when three quarters
// are taken.
#include <algorithm>

#include "file/res_internal.h"

using namespace okr_res;

namespace {

constexpr uint32_t kFree = 0xFFFFFFFFu;  // no data offset reaches it
constexpr uint32_t kMinRecords = 64;

struct StagedRecord {
  uint32_t offset;  // the resource's data offset
  uint32_t place;   // file offset of its staged bytes
};

StagedRecord* Records(Handle table) {
  return static_cast<StagedRecord*>(table->data);
}

uint32_t CapacityOf(Handle table) {
  return table == nullptr ? 0 : MemGetHandleSize(table) / uint32_t{sizeof(StagedRecord)};
}

uint32_t SlotFor(uint32_t offset, uint32_t capacity) {
  uint32_t h = offset ^ (offset >> 16);
  h *= 0x45D9F3Bu;
  h ^= h >> 16;
  return h & (capacity - 1);
}

// The record of `offset`, or the free one where it would go. The table
// always has a free record.
StagedRecord* Find(StagedRecord* records, uint32_t capacity, uint32_t offset) {
  for (uint32_t i = SlotFor(offset, capacity);; i = (i + 1) & (capacity - 1))
    if (records[i].offset == offset || records[i].offset == kFree) return &records[i];
}

void Put(StagedRecord* records, uint32_t capacity, uint32_t offset, uint32_t place,
         uint32_t* count) {
  StagedRecord* r = Find(records, capacity, offset);
  if (r->offset == kFree) ++*count;
  *r = StagedRecord{offset, place};
}

void Empty(StagedRecord* records, uint32_t capacity) {
  memset(records, 0xFF, capacity * sizeof(StagedRecord));
}

// Drops the stale records: the live ones are noted per cell in the
// compaction's scratch, the table emptied and they are put back.
void Purge(ResDirectory* dir) {
  ResStaging& s = LinksOf(dir)->staging;
  uint32_t* places = ScratchOf(dir);
  for (Cursor c = FirstEntry(dir); c.entry != nullptr; NextEntry(&c))
    places[CellOf(dir, c.entry)] = StagedPlace(dir, c.entry);
  uint32_t capacity = CapacityOf(s.table);
  Empty(Records(s.table), capacity);
  s.count = 0;
  for (Cursor c = FirstEntry(dir); c.entry != nullptr; NextEntry(&c)) {
    uint32_t place = places[CellOf(dir, c.entry)];
    if (place != 0) Put(Records(s.table), capacity, c.entry->dataOffset, place, &s.count);
  }
}

// Copies the staged bytes of the entries that `homes` marks (data offset + 1
// per cell) to their places, a run of entries whose places and staged bytes
// both follow on in one copy.
ErrCode CopyToPlaces(ResDirectory* dir, const uint32_t* homes) {
  File* file = LinksOf(dir)->file;
  uint32_t start = dir->header.dataStart;
  uint32_t src = 0, dst = 0, size = 0;
  for (Cursor c = FirstEntry(dir); c.entry != nullptr; NextEntry(&c)) {
    if (homes[CellOf(dir, c.entry)] == 0) continue;
    uint32_t from = StagedPlace(dir, c.entry), to = start + c.entry->dataOffset;
    if (size != 0 && from == src + size && to == dst + size) {
      size += c.entry->dataSize;
      continue;
    }
    ErrCode err = CopyRange(file, src, dst, size, 0);
    if (err != errNone) return err;
    src = from;
    dst = to;
    size = c.entry->dataSize;
  }
  return CopyRange(file, src, dst, size, 0);
}

}  // namespace

ErrCode okr_res::ReserveStaging(Handle dirHandle, uint32_t entries) {
  uint64_t need = kMinRecords;
  while (need < 2 * uint64_t{entries})
    need *= 2;
  Handle old = LinksOf(DirOf(dirHandle))->staging.table;
  uint32_t capacity = CapacityOf(old);
  if (need <= capacity) return errNone;
  if (need * sizeof(StagedRecord) > 0xFFFFFFF0u) return errMemOutOfMemory;
  Handle table = MemNewHandle(static_cast<uint32_t>(need * sizeof(StagedRecord)));
  if (table == nullptr) return MemGetError();
  // The allocation may have moved the directory.
  ResStaging& s = LinksOf(DirOf(dirHandle))->staging;
  uint32_t size = static_cast<uint32_t>(need);
  Empty(Records(table), size);
  s.count = 0;
  for (uint32_t i = 0; i < capacity; ++i) {
    const StagedRecord& r = Records(old)[i];
    if (r.offset != kFree) Put(Records(table), size, r.offset, r.place, &s.count);
  }
  if (old != nullptr) MemDisposeHandle(old);
  s.table = table;
  return errNone;
}

void okr_res::DisposeStaging(ResDirectory* dir) {
  ResStaging& s = LinksOf(dir)->staging;
  if (s.table != nullptr) MemDisposeHandle(s.table);
  s.table = nullptr;
  s.count = 0;
}

uint32_t okr_res::StagedPlace(ResDirectory* dir, const ResEntry* entry) {
  const ResStaging& s = LinksOf(dir)->staging;
  if (s.count == 0 || entry->dataSize == 0) return 0;
  const StagedRecord* r = Find(Records(s.table), CapacityOf(s.table), entry->dataOffset);
  return r->offset == entry->dataOffset ? r->place : 0;
}

uint64_t okr_res::DataPlace(ResDirectory* dir, const ResEntry* entry) {
  uint32_t place = StagedPlace(dir, entry);
  return place != 0 ? place : uint64_t{dir->header.dataStart} + entry->dataOffset;
}

uint32_t okr_res::StagePlace(ResDirectory* dir, uint32_t bytes, ErrCode* outErr) {
  ResLinks* links = LinksOf(dir);
  ResStaging& s = links->staging;
  *outErr = links->wedged;
  if (*outErr != errNone) return 0;
  if (s.begin == s.end) {
    // A new region, beyond the file's end too: what lies there now stays
    // when the flush returns the file to its home.
    int32_t size = 0;
    *outErr = FileGetSize(links->file, &size);
    if (*outErr != errNone) return 0;
    s.begin = s.end = FreeTail(dir, std::max<uint64_t>(uint32_t(size), s.floor), bytes, outErr);
    if (*outErr != errNone) return 0;
  } else if (Protected(dir, Range{s.end, uint64_t{s.end} + bytes}) || s.end < s.floor) {
    // An append moved the stored directory out of its way to the first free
    // place, which may be right behind the region; or, after a flush that
    // stored a directory naming the region and then failed, the data area
    // jumped past the region and data was appended right behind it (the
    // floor lies beyond the region then). The region moves beyond either
    // before it grows.
    *outErr = RelocateStaging(dir, s.end);
    if (*outErr != errNone) return 0;
  }
  if (uint64_t{s.end} + bytes > kMaxFilePos) *outErr = errFileBounds;
  return *outErr == errNone ? s.end : 0;
}

void okr_res::Staged(ResDirectory* dir, const ResEntry* entry, uint32_t place) {
  ResStaging& s = LinksOf(dir)->staging;
  s.end = std::max(s.end, place + entry->dataSize);
  uint32_t capacity = CapacityOf(s.table);
  if (s.count + 1 > capacity / 4 * 3) Purge(dir);
  Put(Records(s.table), capacity, entry->dataOffset, place, &s.count);
}

bool okr_res::HasStaged(ResDirectory* dir) {
  return LinksOf(dir)->staging.count != 0;
}

void okr_res::ClearStaged(ResDirectory* dir) {
  ResStaging& s = LinksOf(dir)->staging;
  if (s.count != 0) Empty(Records(s.table), CapacityOf(s.table));
  s.count = 0;
  s.begin = s.end = 0;
}

ErrCode okr_res::RelocateStaging(ResDirectory* dir, uint64_t atLeast) {
  ResStaging& s = LinksOf(dir)->staging;
  uint32_t size = s.end - s.begin;
  ErrCode err;
  uint32_t at = FreeTail(dir, atLeast + size, size, &err);
  if (err == errNone) err = CopyRange(LinksOf(dir)->file, s.begin, at, size, 0);
  if (err != errNone) return err;
  StagedRecord* records = Records(s.table);
  for (uint32_t i = 0, capacity = CapacityOf(s.table); i < capacity; ++i)
    if (records[i].offset != kFree) records[i].place += at - s.begin;
  s.begin = at;
  s.end = at + size;
  return errNone;
}

// While the directory that names the staged bytes is written, each waiting
// entry's data offset points into the staging region; its own is kept per
// cell in the compaction's scratch (plus one: 0 marks the others).
ErrCode okr_res::SettleInPlace(ResDirectory* dir) {
  if (!HasStaged(dir)) return errNone;
  ResStaging& s = LinksOf(dir)->staging;
  uint32_t start = dir->header.dataStart;
  uint32_t* homes = ScratchOf(dir);
  uint32_t waiting = 0;
  for (Cursor c = FirstEntry(dir); c.entry != nullptr; NextEntry(&c)) {
    uint32_t place = StagedPlace(dir, c.entry);
    homes[CellOf(dir, c.entry)] = place == 0 ? 0 : c.entry->dataOffset + 1;
    if (place == 0) continue;
    c.entry->dataOffset = place - start;
    ++waiting;
  }
  ErrCode err = errNone;
  if (waiting != 0) {
    Range spans[2] = {Range{start, uint64_t{start} + dir->header.dataLength},
                      Range{s.begin, s.end}};
    uint32_t at = FreeTail(dir, s.end, StoredLength(dir), &err);
    if (err == errNone) err = Checkpoint(dir, at, s.end - start, spans);
    for (Cursor c = FirstEntry(dir); c.entry != nullptr; NextEntry(&c)) {
      uint32_t home = homes[CellOf(dir, c.entry)];
      if (home != 0) c.entry->dataOffset = home - 1;
    }
    if (err == errNone) err = CopyToPlaces(dir, homes);
  }
  if (err == errNone) ClearStaged(dir);
  return err;
}
