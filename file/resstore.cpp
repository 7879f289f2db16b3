// What the file on disk holds, and the writes that keep it a valid resource
// file at every moment.
//
// Invariant: the header at offset 0 points at the stored directory, which
// describes resources whose bytes are on the disk (links->stored records
// where). Nothing is written over that directory or the data it refers to,
// except a resource rewritten in place (its place is fixed) and the header
// itself. A new directory is written elsewhere and made durable together
// with the data it refers to; only then is the header pointed at it, with
// one 32-byte write at offset 0, which the disk performs whole. An
// interruption at any moment thus leaves either the old stored directory or
// the new one, each with intact data.
#include <stddef.h>

#include <algorithm>

#include "file/file_internal.h"
#include "file/res_internal.h"

using namespace okr_res;

namespace {

bool Touches(Range a, Range b) {
  return a.begin < a.end && b.begin < b.end && a.begin < b.end && b.begin < a.end;
}

Range StoredSpan(const ResStored& s, int i) {
  return Range{s.spanBegin[i], s.spanEnd[i]};
}

Range DataArea(const ResDirectory* dir) {
  uint64_t start = dir->header.dataStart;
  return Range{start, start + dir->header.dataLength};
}

// Room left in front of a directory moved out of the way of appended data,
// so that a run of appends does not have to move it again at once: as much
// as the directory itself, so that moving it costs no more than the
// appends it makes room for.
uint64_t Spare(const ResStored& s) {
  return uint64_t{s.dirLength} + 4096;
}

void SetStored(ResLinks* links, uint32_t dirOffset, uint32_t dirLength, const Range spans[2]) {
  ResStored& s = links->stored;
  s.dirOffset = dirOffset;
  s.dirLength = dirLength;
  for (int i = 0; i < 2; ++i) {
    s.spanBegin[i] = static_cast<uint32_t>(spans[i].begin);
    s.spanEnd[i] = static_cast<uint32_t>(spans[i].end);
  }
}

// Points the header at a directory that is already durable; `header` is the
// directory's first 32 bytes. A write that fails puts the previous header
// back, so the file goes on pointing at the stored directory; when even that
// fails, the file's state is not known and it takes no more writes.
ErrCode WriteHeader(ResLinks* links, const unsigned char* header) {
  File* file = links->file;
  ErrCode err = FileSeek(file, fileSeekStart, 0);
  if (err == errNone) err = FileWrite(file, header, kHeaderSize);
  if (err == errNone) err = FileSync(file);
  if (err == errNone) {
    memcpy(links->stored.header, header, kHeaderSize);
    return errNone;
  }
  ErrCode back = FileSeek(file, fileSeekStart, 0);
  if (back == errNone) back = FileWrite(file, links->stored.header, kHeaderSize);
  if (back == errNone) back = FileSync(file);
  if (back != errNone) links->wedged = err;
  return err;
}

// Writes `count` type records of `dir` from `first` on in canonical form:
// each type's entries follow the last one's.
ErrCode WriteTypeRecords(File* file, ResDirectory* dir, uint32_t first, uint32_t count,
                         uint32_t* entries) {
  ResTypeRecord records[resCopyChunkSize / kTypeRecordSize];
  for (uint32_t i = 0; i < count; ++i) {
    const ResTypeRecord* type = TypeAt(dir, first + i);
    records[i] = ResTypeRecord{type->typeId, type->entryCount, *entries};
    *entries += type->entryCount * kEntrySize;
  }
  return FileWrite(file, records, count * kTypeRecordSize);
}

// Writes the entry arrays of every type one after the other, gathered into
// chunks: each write is flushed, so a file of many small types must not
// take one write per type.
ErrCode WriteEntryArrays(File* file, ResDirectory* dir) {
  char chunk[resCopyChunkSize];
  uint32_t used = 0;
  ErrCode err = errNone;
  for (uint32_t i = 0; err == errNone && i < *TypeCountWord(dir); ++i) {
    const ResTypeRecord* type = TypeAt(dir, i);
    const char* entries = reinterpret_cast<const char*>(EntryAt(dir, type, 0));
    uint32_t size = type->entryCount * kEntrySize;
    if (used + size > sizeof chunk && used != 0) {
      err = FileWrite(file, chunk, used);
      used = 0;
    }
    if (err != errNone || size == 0) continue;
    if (size > sizeof chunk) {
      err = FileWrite(file, entries, size);
    } else {
      memcpy(chunk + used, entries, size);
      used += size;
    }
  }
  return err == errNone && used != 0 ? FileWrite(file, chunk, used) : err;
}

// Writes the directory at `at` as a stored directory, in canonical form:
// dirOffset `at`, "written" and not "changed". Its first 32 bytes go to
// `outHead`.
ErrCode WriteDirectoryAt(ResDirectory* dir, uint32_t at, unsigned char* outHead) {
  struct {
    ResDirectory fixed;
    uint32_t typeCount;
  } head;
  static_assert(sizeof head == kDirFixedSize + kWordSize, "fixed part and type count");
  uint32_t typeCount = *TypeCountWord(dir);
  head.fixed = *dir;
  head.fixed.header.dirOffset = at;
  head.fixed.header.dirLength = StoredLength(dir);
  head.fixed.fileFlags = (dir->fileFlags & ~uint32_t{resFileFlagChanged}) | resFileFlagWritten;
  head.typeCount = typeCount;
  memcpy(outHead, &head, kHeaderSize);
  File* file = LinksOf(dir)->file;
  ErrCode err = FileSeek(file, fileSeekStart, static_cast<int32_t>(at));
  if (err == errNone) err = FileWrite(file, &head, sizeof head);
  uint32_t entries = kWordSize + typeCount * kTypeRecordSize;
  constexpr uint32_t perWrite = resCopyChunkSize / kTypeRecordSize;
  for (uint32_t i = 0; err == errNone && i < typeCount; i += perWrite)
    err = WriteTypeRecords(file, dir, i, typeCount - i < perWrite ? typeCount - i : perWrite,
                           &entries);
  return err == errNone ? WriteEntryArrays(file, dir) : err;
}

// Copies the stored directory's bytes to `at`, its dirOffset word telling
// `at` in the directory's own byte order, and points the header there. The
// file still describes what it held before.
ErrCode RelocateStored(ResLinks* links, uint32_t at) {
  ResStored& s = links->stored;
  File* file = links->file;
  unsigned char head[kHeaderSize];
  ErrCode err = FileSeek(file, fileSeekStart, static_cast<int32_t>(s.dirOffset));
  if (err == errNone) err = FileRead(file, head, kHeaderSize);
  if (err != errNone) return err;
  uint32_t version = 0;
  memcpy(&version, head + offsetof(ResFileHeader, version), kWordSize);
  uint32_t offset = at;
  if (version != resVersion) SwapBytes32(&offset);
  memcpy(head + offsetof(ResFileHeader, dirOffset), &offset, kWordSize);
  err = FileSeek(file, fileSeekStart, static_cast<int32_t>(at));
  if (err == errNone) err = FileWrite(file, head, kHeaderSize);
  if (err == errNone)
    err =
        CopyRange(file, s.dirOffset + kHeaderSize, at + kHeaderSize, s.dirLength - kHeaderSize, 0);
  if (err == errNone) err = SyncData(links);
  if (err == errNone) err = WriteHeader(links, head);
  if (err == errNone) s.dirOffset = at;
  return err;
}

}  // namespace

ErrCode okr_res::SyncData(ResLinks* links) {
  ErrCode err = FileSync(links->file);
  if (err == errNone) links->unsynced = 0;
  return err;
}

void okr_res::InitStored(ResDirectory* dir, const ResFileHeader& header, const void* rawHeader) {
  ResLinks* links = LinksOf(dir);
  Range spans[2] = {DataArea(dir), Range{0, 0}};
  SetStored(links, header.dirOffset, header.dirLength, spans);
  memcpy(links->stored.header, rawHeader, kHeaderSize);
}

bool okr_res::Protected(ResDirectory* dir, Range range) {
  const ResStored& s = LinksOf(dir)->stored;
  Range stored{s.dirOffset, uint64_t{s.dirOffset} + s.dirLength};
  return Touches(range, Range{0, kHeaderSize}) || Touches(range, stored) ||
         Touches(range, StoredSpan(s, 0)) || Touches(range, StoredSpan(s, 1));
}

uint32_t okr_res::FreeTail(ResDirectory* dir, uint64_t atLeast, uint64_t bytes, ErrCode* outErr) {
  const ResStored& s = LinksOf(dir)->stored;
  uint64_t at = std::max({atLeast, DataArea(dir).end, uint64_t{s.dirOffset} + s.dirLength,
                          uint64_t{s.spanEnd[0]}, uint64_t{s.spanEnd[1]}});
  *outErr = at + bytes > kMaxFilePos ? ErrCode{errFileBounds} : ErrCode{errNone};
  return *outErr == errNone ? static_cast<uint32_t>(at) : 0;
}

ErrCode okr_res::CopyRange(File* file, uint32_t src, uint32_t dst, uint32_t size,
                           uint32_t lastPiece) {
  char buffer[resCopyChunkSize];
  uint32_t bulk = size - lastPiece;
  while (size > 0) {
    uint32_t chunk = bulk > 0 ? std::min<uint32_t>(bulk, resCopyChunkSize) : size;
    ErrCode err = FileSeek(file, fileSeekStart, static_cast<int32_t>(src));
    if (err == errNone) err = FileRead(file, buffer, chunk);
    if (err == errNone) err = FileSeek(file, fileSeekStart, static_cast<int32_t>(dst));
    if (err == errNone) err = FileWrite(file, buffer, chunk);
    if (err != errNone) return err;
    src += chunk;
    dst += chunk;
    size -= chunk;
    bulk -= std::min(bulk, chunk);
  }
  return errNone;
}

ErrCode okr_res::MakeAppendRoom(ResDirectory* dir, uint32_t bytes) {
  ResLinks* links = LinksOf(dir);
  if (links->wedged != errNone) return links->wedged;
  const ResStored& s = links->stored;
  // Stored data lies beyond the data area only after a compaction whose
  // directory was not stored: appends then go behind it, leaving a gap
  // that the next compaction closes.
  uint64_t spansEnd = std::max(s.spanEnd[0], s.spanEnd[1]);
  if (spansEnd > DataArea(dir).end)
    dir->header.dataLength = static_cast<uint32_t>(spansEnd - dir->header.dataStart);
  Range append{DataArea(dir).end, DataArea(dir).end + bytes};
  if (append.end > kMaxFilePos) return errFileBounds;
  if (!Protected(dir, append)) return errNone;
  ErrCode err;
  uint32_t at = FreeTail(dir, append.end + StoredLength(dir) + Spare(s), s.dirLength, &err);
  return err == errNone ? RelocateStored(links, at) : err;
}

ErrCode okr_res::Checkpoint(ResDirectory* dir, uint32_t at, const Range spans[2]) {
  ResLinks* links = LinksOf(dir);
  if (links->wedged != errNone) return links->wedged;
  unsigned char head[kHeaderSize];
  ErrCode err = SyncData(links);
  if (err == errNone) err = WriteDirectoryAt(dir, at, head);
  if (err == errNone) err = FileSync(links->file);
  if (err == errNone) err = WriteHeader(links, head);
  if (err == errNone) SetStored(links, at, StoredLength(dir), spans);
  return err;
}

ErrCode okr_res::StoreDirectory(ResDirectory* dir) {
  uint32_t at = dir->header.dirOffset;
  uint32_t length = StoredLength(dir);
  if (uint64_t{at} + length > kMaxFilePos) return errFileBounds;
  Range spans[2] = {DataArea(dir), Range{0, 0}};
  ErrCode err = errNone;
  // The directory's place may still hold the stored directory (or data it
  // refers to): the directory is then stored beyond first.
  if (Protected(dir, Range{at, uint64_t{at} + length})) {
    uint32_t tail = FreeTail(dir, uint64_t{at} + length, length, &err);
    if (err == errNone) err = Checkpoint(dir, tail, spans);
  }
  if (err == errNone) err = Checkpoint(dir, at, spans);
  if (err != errNone) return err;
  // Nothing beyond the directory is referred to any more; a file that
  // cannot be cut keeps those bytes, which harms nothing.
  FileTruncate(LinksOf(dir)->file, static_cast<int32_t>(at + length));
  return errNone;
}
