// Compaction of a file's data area: resources packed one after the other
// from data offset 0, in the order they lay, the directory behind them.
//
// Packing moves resources over places the stored directory still refers to
// (a resource moving down by less than its size even over its own bytes),
// and a resource whose rewrite waits in the staging region must reach its
// packed place too. So the resources that move and whose bytes lie in the
// packed area are first copied beyond everything in use, in packed order,
// and a directory that finds every resource where its bytes lie (copied
// out, staged, or at its place when it stays) is stored. Only then are they
// copied to their packed places. An interruption or a failure at any step
// leaves a stored directory with intact data, and the directory in memory
// always names places that hold each resource's bytes: a compaction tried
// again starts from sound data.
#include <algorithm>

#include "file/res_internal.h"

using namespace okr_res;

namespace {

// What becomes of a resource, kept in the low bits of its entry's position
// in the scratch (positions are word aligned).
enum Move : uint32_t {
  kStays = 0,     // at its packed place already
  kOut = 1,       // copied out beyond everything, then down
  kStraight = 2,  // staged beyond the packed area: copied down from there
  kMoveBits = 3
};

// The entry at byte `pos` of the directory (the scratch holds positions:
// they stay valid while the compaction allocates nothing).
ResEntry* EntryAtPos(ResDirectory* dir, uint32_t pos) {
  return reinterpret_cast<ResEntry*>(Bytes(dir) + (pos & ~uint32_t{kMoveBits}));
}

Move MoveOf(uint32_t pos) {
  return static_cast<Move>(pos & kMoveBits);
}

// Fills the scratch with the entries' positions in the directory, in
// packing order: by data offset, and by position among equal offsets (the
// walk order, for a directory whose entry arrays follow the type order).
// Returns the number of entries.
uint32_t SortForPacking(ResDirectory* dir) {
  uint32_t* order = ScratchOf(dir);
  uint32_t count = 0;
  for (Cursor c = FirstEntry(dir); c.entry != nullptr; NextEntry(&c))
    order[count++] = static_cast<uint32_t>(reinterpret_cast<char*>(c.entry) - Bytes(dir));
  std::sort(order, order + count, [dir](uint32_t a, uint32_t b) {
    uint32_t offsetA = EntryAtPos(dir, a)->dataOffset, offsetB = EntryAtPos(dir, b)->dataOffset;
    return offsetA != offsetB ? offsetA < offsetB : a < b;
  });
  return count;
}

// The packing: every entry's move noted in the scratch; `outBytes` go out
// beyond everything; `lastPiece` is the size of the last chunk of the last
// resource with bytes that does not stay.
struct Plan {
  uint32_t count;
  uint32_t packedEnd;
  uint32_t outBytes;
  uint32_t lastPiece;
  bool copies;  // some bytes are copied
};

Move MoveFor(ResDirectory* dir, const ResEntry* e, uint32_t packedAt, uint64_t packedAreaEnd) {
  uint32_t staged = StagedPlace(dir, e);
  if (staged == 0) return e->dataOffset == packedAt ? kStays : kOut;
  return staged < packedAreaEnd ? kOut : kStraight;
}

Plan MakePlan(ResDirectory* dir) {
  Plan plan{SortForPacking(dir), 0, 0, 0, false};
  uint32_t* order = ScratchOf(dir);
  for (uint32_t i = 0; i < plan.count; ++i)
    plan.packedEnd += EntryAtPos(dir, order[i])->dataSize;
  uint64_t packedAreaEnd = uint64_t{dir->header.dataStart} + plan.packedEnd;
  uint32_t dst = 0;
  for (uint32_t i = 0; i < plan.count; ++i) {
    const ResEntry* e = EntryAtPos(dir, order[i]);
    Move move = MoveFor(dir, e, dst, packedAreaEnd);
    order[i] |= move;
    dst += e->dataSize;
    if (move == kStays || e->dataSize == 0) continue;
    plan.lastPiece = (e->dataSize - 1) % resCopyChunkSize + 1;
    plan.copies = true;
    if (move == kOut) plan.outBytes += e->dataSize;
  }
  return plan;
}

// Copies runs of bytes that follow on at both ends: consecutive Add calls
// that continue the run grow it, any other first copies the run.
struct RunCopier {
  File* file;
  uint32_t src, dst, size;
  ErrCode Add(uint32_t from, uint32_t to, uint32_t bytes) {
    if (from == src + size && to == dst + size) {
      size += bytes;
      return errNone;
    }
    ErrCode err = CopyRange(file, src, dst, size, 0);
    src = from;
    dst = to;
    size = bytes;
    return err;
  }
  ErrCode Finish(uint32_t lastPiece) { return CopyRange(file, src, dst, size, lastPiece); }
};

// Copies the resources that go out to file offset `tail`, packed.
ErrCode CopyOut(ResDirectory* dir, const Plan& plan, uint32_t tail) {
  const uint32_t* order = ScratchOf(dir);
  RunCopier run{LinksOf(dir)->file, 0, tail, 0};
  for (uint32_t i = 0; i < plan.count; ++i) {
    if (MoveOf(order[i]) != kOut) continue;
    const ResEntry* e = EntryAtPos(dir, order[i]);
    ErrCode err = run.Add(static_cast<uint32_t>(DataPlace(dir, e)), tail, e->dataSize);
    if (err != errNone) return err;
    tail += e->dataSize;
  }
  return run.Finish(0);
}

// Gives every entry that does not stay the data offset where its bytes lie
// now: copied out from `outBase` on, or staged.
void NameWhereTheyLie(ResDirectory* dir, const Plan& plan, uint32_t outBase) {
  const uint32_t* order = ScratchOf(dir);
  uint32_t start = dir->header.dataStart;
  for (uint32_t i = 0; i < plan.count; ++i) {
    ResEntry* e = EntryAtPos(dir, order[i]);
    if (MoveOf(order[i]) == kStraight) e->dataOffset = StagedPlace(dir, e) - start;
    if (MoveOf(order[i]) != kOut) continue;
    e->dataOffset = outBase;
    outBase += e->dataSize;
  }
}

// Copies every resource that does not stay from where the directory in
// memory names it to its packed place.
ErrCode CopyDown(ResDirectory* dir, const Plan& plan) {
  const uint32_t* order = ScratchOf(dir);
  uint32_t start = dir->header.dataStart, dst = start;
  RunCopier run{LinksOf(dir)->file, 0, 0, 0};
  for (uint32_t i = 0; i < plan.count; ++i) {
    const ResEntry* e = EntryAtPos(dir, order[i]);
    ErrCode err = MoveOf(order[i]) == kStays ? ErrCode{errNone}
                                             : run.Add(start + e->dataOffset, dst, e->dataSize);
    if (err != errNone) return err;
    dst += e->dataSize;
  }
  return run.Finish(plan.lastPiece);
}

// The packing done: every entry at its packed place, the data area their
// sum, the directory behind it.
void Finish(ResDirectory* dir, const Plan& plan) {
  const uint32_t* order = ScratchOf(dir);
  uint32_t dst = 0;
  for (uint32_t i = 0; i < plan.count; ++i) {
    ResEntry* e = EntryAtPos(dir, order[i]);
    e->dataOffset = dst;
    dst += e->dataSize;
  }
  dir->header.dataLength = plan.packedEnd;
  dir->header.dirOffset = dir->header.dataStart + plan.packedEnd;
}

}  // namespace

// A resource of size 0 is given the packed position at its turn.
extern "C" ErrCode ResCompactFile(Handle dirHandle) {
  if (dirHandle == nullptr) return Report(errNilPointer);
  if (!IsOpenDirectory(dirHandle)) return Report(errResFileNotFound);
  ResDirectory* dir = DirOf(dirHandle);
  if (!(dir->fileFlags & resFileFlagChanged)) return Report(errNone);
  ResLinks* links = LinksOf(dir);
  if (links->wedged != errNone) return Report(links->wedged);
  Plan plan = MakePlan(dir);
  if (!plan.copies) {
    Finish(dir, plan);
    ClearStaged(dir);
    return Report(errNone);
  }
  // Out beyond everything, with the directory that finds them in front.
  uint32_t start = dir->header.dataStart, length = StoredLength(dir);
  ErrCode err;
  uint32_t tail =
      FreeTail(dir, uint64_t{start} + plan.packedEnd + length, plan.outBytes + length, &err);
  if (err == errNone) err = CopyOut(dir, plan, tail);
  if (err != errNone) return Report(err);
  // The copies are whole: the directory in memory names them from now on,
  // and the staged bytes where they lie.
  const ResStaging& staging = links->staging;
  uint32_t named = staging.begin != staging.end ? std::min(staging.begin, tail) : tail;
  NameWhereTheyLie(dir, plan, tail - start);
  ClearStaged(dir);
  dir->header.dataLength = tail - start + plan.outBytes;
  Range spans[2] = {Range{start, uint64_t{start} + plan.packedEnd},
                    Range{named, uint64_t{tail} + plan.outBytes}};
  err = Checkpoint(dir, tail + plan.outBytes, dir->header.dataLength, spans);
  if (err == errNone) err = CopyDown(dir, plan);
  if (err != errNone) return Report(err);
  Finish(dir, plan);
  return Report(errNone);
}
