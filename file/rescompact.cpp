// Compaction of a file's data area: resources packed one after the other
// from data offset 0, in the order they lay, the directory behind them.
//
// Packing moves resources over places the stored directory still refers to
// (a resource moving down by less than its size even over its own bytes),
// so the resources that move are first copied beyond everything in use, in
// their packed order, and a directory that finds them there is stored.
// Only then are they copied down to their packed places. An interruption
// or a failure at any step leaves a stored directory with intact data, and
// the directory in memory always names places that hold each resource's
// bytes: a compaction tried again starts from sound data.
#include <algorithm>

#include "file/res_internal.h"

using namespace okr_res;

namespace {

// The entry at byte `pos` of the directory (the scratch holds positions:
// they stay valid while the compaction allocates nothing).
ResEntry* EntryAtPos(ResDirectory* dir, uint32_t pos) {
  return reinterpret_cast<ResEntry*>(Bytes(dir) + pos);
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

// The packing: entries before `first` (in packing order) stay; the others
// go to [packedStart, packedEnd), one after the other. `lastPiece` is the
// size of the last chunk of the last moving resource that has bytes.
struct Plan {
  uint32_t count;
  uint32_t first;
  uint32_t packedStart;
  uint32_t packedEnd;
  uint32_t lastPiece;
};

Plan MakePlan(ResDirectory* dir) {
  Plan plan{SortForPacking(dir), 0, 0, 0, 0};
  const uint32_t* order = ScratchOf(dir);
  plan.first = plan.count;
  uint32_t dst = 0;
  for (uint32_t i = 0; i < plan.count; ++i) {
    const ResEntry* e = EntryAtPos(dir, order[i]);
    if (plan.first == plan.count && e->dataOffset != dst) {
      plan.first = i;
      plan.packedStart = dst;
    }
    if (plan.first != plan.count && e->dataSize != 0)
      plan.lastPiece = (e->dataSize - 1) % resCopyChunkSize + 1;
    dst += e->dataSize;
  }
  plan.packedEnd = dst;
  if (plan.first == plan.count) plan.packedStart = dst;
  return plan;
}

// Gives every moving entry its place in a packed run of data offsets that
// starts at `base`.
void PlaceMoving(ResDirectory* dir, const Plan& plan, uint32_t base) {
  const uint32_t* order = ScratchOf(dir);
  for (uint32_t i = plan.first; i < plan.count; ++i) {
    ResEntry* e = EntryAtPos(dir, order[i]);
    e->dataOffset = base;
    base += e->dataSize;
  }
}

// Copies the moving resources, packed, to file offset `tail`; a run of
// resources that lie back to back is copied as one.
ErrCode CopyOut(ResDirectory* dir, const Plan& plan, uint32_t tail) {
  const uint32_t* order = ScratchOf(dir);
  File* file = LinksOf(dir)->file;
  uint32_t start = dir->header.dataStart;
  uint32_t i = plan.first;
  while (i < plan.count) {
    uint32_t src = EntryAtPos(dir, order[i])->dataOffset;
    uint32_t size = 0;
    do {
      size += EntryAtPos(dir, order[i++])->dataSize;
    } while (i < plan.count && EntryAtPos(dir, order[i])->dataOffset == src + size);
    ErrCode err = CopyRange(file, start + src, tail, size, 0);
    if (err != errNone) return err;
    tail += size;
  }
  return errNone;
}

// The packing done: the moving entries at their packed places, the data
// area their sum, the directory behind it.
void Finish(ResDirectory* dir, const Plan& plan) {
  PlaceMoving(dir, plan, plan.packedStart);
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
  uint32_t moving = plan.packedEnd - plan.packedStart;
  if (moving == 0) {
    Finish(dir, plan);
    return Report(errNone);
  }
  // Out beyond everything, with the packed data area's directory in front.
  uint32_t start = dir->header.dataStart, length = StoredLength(dir);
  ErrCode err;
  uint32_t tail = FreeTail(dir, uint64_t{start} + plan.packedEnd + length, moving + length, &err);
  if (err == errNone) err = CopyOut(dir, plan, tail);
  if (err != errNone) return Report(err);
  // The copies are whole: the directory in memory names them from now on.
  PlaceMoving(dir, plan, tail - start);
  dir->header.dataLength = tail - start + moving;
  Range spans[2] = {Range{start, uint64_t{start} + plan.packedStart},
                    Range{tail, uint64_t{tail} + moving}};
  err = Checkpoint(dir, tail + moving, spans);
  if (err == errNone)
    err = CopyRange(links->file, tail, start + plan.packedStart, moving, plan.lastPiece);
  if (err != errNone) return Report(err);
  Finish(dir, plan);
  return Report(errNone);
}
