// Compaction of a file's data area: resources packed one after the other
// from data offset 0, in the order they lay, the directory behind them.
#include "file/res_internal.h"

using namespace okr_res;

namespace {

// An entry's place in the packing order: its data offset, then its position
// in the directory among entries at the same offset.
uint64_t OrderKey(const Cursor& c) {
  return (uint64_t{c.entry->dataOffset} << 32) | c.ordinal;
}

// The entry that comes next in packing order after `after` (from the start
// when `first`). Moved entries land below every entry still to come, so
// each entry is visited exactly once, also the ones of size 0, whose place
// alone would name them again and again.
bool NextToPack(ResDirectory* dir, bool first, uint64_t after, Cursor* out) {
  bool found = false;
  uint64_t best = 0;
  for (Cursor c = FirstEntry(dir); c.entry != nullptr; NextEntry(&c)) {
    uint64_t key = OrderKey(c);
    if ((!first && key <= after) || (found && key >= best)) continue;
    best = key;
    *out = c;
    found = true;
  }
  return found;
}

// Moves `size` bytes of the data area from `srcPos` down to `dstPos`, front
// to back in chunks, so no byte is overwritten before it has been read.
ErrCode MoveData(ResDirectory* dir, uint32_t srcPos, uint32_t dstPos, uint32_t size) {
  char buffer[resCopyChunkSize];
  File* file = GetLinks(dir).file;
  while (size > 0) {
    uint32_t chunk = size < resCopyChunkSize ? size : uint32_t{resCopyChunkSize};
    ErrCode err = SeekData(dir, srcPos, chunk);
    if (err == errNone) err = FileRead(file, buffer, chunk);
    if (err == errNone) err = SeekData(dir, dstPos, chunk);
    if (err == errNone) err = FileWrite(file, buffer, chunk);
    if (err != errNone) return err;
    srcPos += chunk;
    dstPos += chunk;
    size -= chunk;
  }
  return errNone;
}

}  // namespace

// A resource of size 0 is given the packed position at its turn.
extern "C" ErrCode ResCompactFile(Handle dirHandle) {
  if (dirHandle == nullptr) return Report(errNilPointer);
  ResDirectory* dir = DirOf(dirHandle);
  if (!(dir->fileFlags & resFileFlagChanged)) return Report(errNone);
  uint32_t dstPos = 0;
  Cursor c;
  uint64_t after = 0;  // the old place of the entry visited last
  for (bool first = true; NextToPack(dir, first, after, &c); first = false) {
    after = OrderKey(c);
    uint32_t srcPos = c.entry->dataOffset;
    if (srcPos != dstPos) {
      ErrCode err = MoveData(dir, srcPos, dstPos, c.entry->dataSize);
      if (err != errNone) return Report(err);
      c.entry->dataOffset = dstPos;
    }
    dstPos += c.entry->dataSize;
  }
  dir->header.dataLength = dstPos;
  dir->header.dirOffset = dir->header.dataStart + dstPos;
  return Report(errNone);
}
