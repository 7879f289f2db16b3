// What the file on disk holds, and the writes that keep it a valid resource
// file at every moment.
//
// Invariant: the header at offset 0 points at the stored directory, which
// describes resources whose bytes are on the disk (links->stored records
// where). Nothing is written over that directory or the data it refers to.
// A new directory is written elsewhere and made durable together with the
// data it refers to; only then is the header pointed at it. An interruption
// at any moment thus leaves either the old stored directory or the new one,
// each with intact data.
//
// The header is the only way to the directory, so a header write cut short
// must still lead to one. Readers take only the version word (bytes 4-7) and
// the directory's place and length (bytes 16-23) from it. It is written in
// two halves, [0, 16) and [16, 32), each only when it changes, and the
// version word never changes together with the directory's place: either
// half alone, or the front half of either, leaves a header that points at
// the old directory or at the new one. The eight bytes at offset 16 must
// reach the disk together; they lie in the file's first sector. A file in
// the other byte order keeps that order through every intermediate
// checkpoint. The store that turns it native points it, still in its order,
// at a copy of the directory whose place and length read the same in both
// orders (four bytes a b b a), then turns the version word (the front of the
// first half), then points it at the directory's own place.
#include <stddef.h>

#include <algorithm>

#include "file/file_internal.h"
#include "file/res_internal.h"

using namespace okr_res;

namespace {

constexpr uint32_t kHalf = kHeaderSize / 2;

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

bool IsNativeHeader(const unsigned char* header) {
  uint32_t version = 0;
  memcpy(&version, header + offsetof(ResFileHeader, version), kWordSize);
  return version == resVersion;
}

// `current` with the directory's place and length replaced by `at` and
// `length`, in the byte order `current` has; its other bytes stay.
void Repoint(unsigned char* head, const unsigned char* current, uint32_t at, uint32_t length) {
  memcpy(head, current, kHeaderSize);
  if (!IsNativeHeader(current)) {
    SwapBytes32(&at);
    SwapBytes32(&length);
  }
  memcpy(head + offsetof(ResFileHeader, dirOffset), &at, kWordSize);
  memcpy(head + offsetof(ResFileHeader, dirLength), &length, kWordSize);
}

// Writes the halves of `head` that differ from `current` (all of it for a
// NULL `current`), front half first.
ErrCode WriteHalves(File* file, const unsigned char* head, const unsigned char* current) {
  for (uint32_t half = 0; half < kHeaderSize; half += kHalf) {
    if (current != nullptr && memcmp(head + half, current + half, kHalf) == 0) continue;
    ErrCode err = FileSeek(file, fileSeekStart, static_cast<int32_t>(half));
    if (err == errNone) err = FileWrite(file, head + half, kHalf);
    if (err != errNone) return err;
  }
  return errNone;
}

// Puts `head` at offset 0 and makes it durable; it must point at a durable
// directory. A write that fails puts the previous header back, so the file
// goes on pointing at the stored directory; when even that fails, the file's
// state is not known and it takes no more writes.
ErrCode WriteHeader(ResLinks* links, const unsigned char* head) {
  File* file = links->file;
  ErrCode err = WriteHalves(file, head, links->stored.header);
  if (err == errNone) err = FileSync(file);
  if (err == errNone) {
    memcpy(links->stored.header, head, kHeaderSize);
    return errNone;
  }
  ErrCode back = WriteHalves(file, links->stored.header, nullptr);
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

// Writes `bytes` zero bytes at the stream's position.
ErrCode WriteZeros(File* file, uint32_t bytes) {
  static const char zeros[resCopyChunkSize] = {};
  ErrCode err = errNone;
  for (uint32_t n = 0; err == errNone && n < bytes; n += resCopyChunkSize)
    err = FileWrite(file, zeros, std::min<uint32_t>(bytes - n, resCopyChunkSize));
  return err;
}

// Writes the directory at `at` as a stored directory of `length` bytes (its
// canonical form, then zeros) whose data area is `dataLength` bytes long:
// dirOffset `at`, "written" and not "changed". Its first 32 bytes go to
// `outHead`.
ErrCode WriteDirectoryAt(ResDirectory* dir, uint32_t at, uint32_t dataLength, uint32_t length,
                         unsigned char* outHead) {
  struct {
    ResDirectory fixed;
    uint32_t typeCount;
  } head;
  static_assert(sizeof head == kDirFixedSize + kWordSize, "fixed part and type count");
  uint32_t typeCount = *TypeCountWord(dir);
  head.fixed = *dir;
  head.fixed.header.dataLength = dataLength;
  head.fixed.header.dirOffset = at;
  head.fixed.header.dirLength = length;
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
  if (err == errNone) err = WriteEntryArrays(file, dir);
  if (err == errNone) err = WriteZeros(file, length - StoredLength(dir));
  return err;
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
  uint32_t offset = at;
  if (!IsNativeHeader(head)) SwapBytes32(&offset);
  memcpy(head + offsetof(ResFileHeader, dirOffset), &offset, kWordSize);
  err = FileSeek(file, fileSeekStart, static_cast<int32_t>(at));
  if (err == errNone) err = FileWrite(file, head, kHeaderSize);
  if (err == errNone)
    err =
        CopyRange(file, s.dirOffset + kHeaderSize, at + kHeaderSize, s.dirLength - kHeaderSize, 0);
  if (err == errNone) err = SyncData(links);
  unsigned char point[kHeaderSize];
  Repoint(point, s.header, at, s.dirLength);
  if (err == errNone) err = WriteHeader(links, point);
  if (err == errNone) s.dirOffset = at;
  return err;
}

// The smallest value from `x` on whose four bytes read the same in both
// orders (a b b a), below 2 GiB; 0 when there is none.
uint32_t NextPalindrome(uint64_t x) {
  constexpr uint64_t kOuter = 0x01000001u, kInner = 0x00010100u;
  for (uint64_t a = 0; a < 0x80; ++a) {
    uint64_t base = a * kOuter;
    if (base + 0xFF * kInner < x) continue;
    uint64_t b = x > base ? (x - base + kInner - 1) / kInner : 0;
    return static_cast<uint32_t>(base + b * kInner);
  }
  return 0;
}

// Turns the header of a file in the other byte order into `head`, the
// native header of the durable directory at `at` (see the top of the file).
ErrCode TurnNative(ResDirectory* dir, uint32_t at, const unsigned char* head,
                   const Range spans[2]) {
  ResLinks* links = LinksOf(dir);
  uint32_t length = StoredLength(dir);
  ErrCode err;
  uint32_t far = NextPalindrome(FreeTail(dir, uint64_t{at} + length, length, &err));
  uint32_t padded = NextPalindrome(length);
  if (err == errNone && (far == 0 || padded == 0 || uint64_t{far} + padded > kMaxFilePos))
    err = errFileBounds;
  unsigned char copy[kHeaderSize], point[kHeaderSize];
  if (err == errNone) err = WriteDirectoryAt(dir, far, dir->header.dataLength, padded, copy);
  if (err == errNone) err = FileSync(links->file);
  Repoint(point, links->stored.header, far, padded);
  if (err == errNone) err = WriteHeader(links, point);
  if (err != errNone) return err;
  SetStored(links, far, padded, spans);
  memcpy(point, head, kHalf);
  if (err == errNone) err = WriteHeader(links, point);
  if (err == errNone) err = WriteHeader(links, head);
  return err;
}

// Stores the directory at `at` for good: its header is the directory's first
// 32 bytes, in the machine's byte order.
ErrCode StoreAt(ResDirectory* dir, uint32_t at, const Range spans[2]) {
  ResLinks* links = LinksOf(dir);
  if (links->wedged != errNone) return links->wedged;
  unsigned char head[kHeaderSize];
  uint32_t length = StoredLength(dir);
  ErrCode err = WriteDirectoryAt(dir, at, dir->header.dataLength, length, head);
  if (err == errNone) err = FileSync(links->file);
  if (err == errNone)
    err = IsNativeHeader(links->stored.header) ? WriteHeader(links, head)
                                               : TurnNative(dir, at, head, spans);
  if (err != errNone) return err;
  links->unsynced = 0;
  SetStored(links, at, length, spans);
  return errNone;
}

}  // namespace

ErrCode okr_res::SyncData(ResLinks* links) {
  ErrCode err = FileSync(links->file);
  if (err == errNone) links->unsynced = 0;
  return err;
}

void okr_res::InitStored(ResDirectory* dir, const ResFileHeader& header, const void* rawHeader,
                         uint32_t fileSize) {
  ResLinks* links = LinksOf(dir);
  Range spans[2] = {DataArea(dir), Range{0, 0}};
  SetStored(links, header.dirOffset, header.dirLength, spans);
  memcpy(links->stored.header, rawHeader, kHeaderSize);
  ResHome& home = links->home;
  home.dirOffset = header.dirOffset;
  home.dirLength = header.dirLength;
  home.fileEnd = fileSize;
  home.lost = 0;
  memcpy(home.header, rawHeader, kHeaderSize);
}

bool okr_res::Protected(ResDirectory* dir, Range range) {
  const ResStored& s = LinksOf(dir)->stored;
  Range stored{s.dirOffset, uint64_t{s.dirOffset} + s.dirLength};
  return Touches(range, Range{0, kHeaderSize}) || Touches(range, stored) ||
         Touches(range, StoredSpan(s, 0)) || Touches(range, StoredSpan(s, 1));
}

uint32_t okr_res::FreeTail(ResDirectory* dir, uint64_t atLeast, uint64_t bytes, ErrCode* outErr) {
  const ResLinks* links = LinksOf(dir);
  const ResStored& s = links->stored;
  uint64_t at = std::max({atLeast, DataArea(dir).end, uint64_t{s.dirOffset} + s.dirLength,
                          uint64_t{s.spanEnd[0]}, uint64_t{s.spanEnd[1]},
                          uint64_t{links->staging.end}, uint64_t{links->staging.floor}});
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
  // Stored data lies beyond the data area only after a compaction or a
  // settling whose last directory was not stored: appends then go behind
  // it, leaving a gap that the next compaction closes.
  uint64_t spansEnd = std::max(s.spanEnd[0], s.spanEnd[1]);
  if (spansEnd > DataArea(dir).end)
    dir->header.dataLength = static_cast<uint32_t>(spansEnd - dir->header.dataStart);
  Range append{DataArea(dir).end, DataArea(dir).end + bytes};
  if (append.end > kMaxFilePos) return errFileBounds;
  ResStaging& staging = links->staging;
  staging.floor = std::max<uint32_t>(staging.floor, static_cast<uint32_t>(append.end));
  ErrCode err = errNone;
  if (Protected(dir, append)) {
    uint32_t at = FreeTail(dir, append.end + StoredLength(dir) + Spare(s), s.dirLength, &err);
    if (err == errNone) err = RelocateStored(links, at);
  }
  if (err == errNone && Touches(append, Range{staging.begin, staging.end}))
    err = RelocateStaging(dir, append.end);
  const ResHome& home = links->home;
  if (Touches(append, Range{home.dirOffset, uint64_t{home.dirOffset} + home.dirLength}))
    links->home.lost = 1;
  return err;
}

ErrCode okr_res::Checkpoint(ResDirectory* dir, uint32_t at, uint32_t dataLength,
                            const Range spans[2]) {
  ResLinks* links = LinksOf(dir);
  if (links->wedged != errNone) return links->wedged;
  unsigned char head[kHeaderSize], point[kHeaderSize];
  uint32_t length = StoredLength(dir);
  ErrCode err = WriteDirectoryAt(dir, at, dataLength, length, head);
  // One sync makes the data written before and the directory durable.
  if (err == errNone) err = FileSync(links->file);
  Repoint(point, links->stored.header, at, length);
  if (err == errNone) err = WriteHeader(links, point);
  if (err != errNone) return err;
  links->unsynced = 0;
  SetStored(links, at, length, spans);
  return errNone;
}

ErrCode okr_res::StoreDirectory(ResDirectory* dir, uint32_t keepEnd) {
  uint32_t at = dir->header.dirOffset;
  uint32_t length = StoredLength(dir);
  ErrCode err = errNone;
  // The directory's own header copy names its place, which only a damaged
  // or odd file makes one the directory cannot take whole: inside the header
  // (the header written after it would land on its front; at offset 0 its
  // front is the header, pointing at it before the rest of it is written),
  // on the data area, or beyond all that the file holds. It is then stored
  // beyond everything instead.
  ErrCode tailErr = errNone;
  const uint32_t tail = FreeTail(dir, 0, length, &tailErr);
  if (at < kHeaderSize || Touches(Range{at, uint64_t{at} + length}, DataArea(dir)) ||
      (tailErr == errNone && at > tail)) {
    if (tailErr != errNone) return tailErr;
    at = tail;
    dir->header.dirOffset = at;
  }
  if (uint64_t{at} + length > kMaxFilePos) return errFileBounds;
  Range spans[2] = {DataArea(dir), Range{0, 0}};
  // The directory's place may still hold the stored directory (or data it
  // refers to): the directory is then stored beyond first.
  if (Protected(dir, Range{at, uint64_t{at} + length})) {
    uint32_t tail = FreeTail(dir, uint64_t{at} + length, length, &err);
    if (err == errNone) err = Checkpoint(dir, tail, dir->header.dataLength, spans);
  }
  if (err == errNone) err = StoreAt(dir, at, spans);
  if (err != errNone) return err;
  // Nothing beyond the directory and the data area is referred to any more;
  // a file that cannot be cut keeps those bytes, which harms nothing.
  ResLinks* links = LinksOf(dir);
  uint32_t cut = static_cast<uint32_t>(
      std::max({uint64_t{at} + length, DataArea(dir).end, uint64_t{keepEnd}}));
  FileTruncate(links->file, static_cast<int32_t>(cut));
  links->home = ResHome{at, length, cut, 0, {}};
  memcpy(links->home.header, links->stored.header, kHeaderSize);
  links->shrunk = 0;
  links->staging.floor = 0;
  return errNone;
}

ErrCode okr_res::ReturnHome(ResDirectory* dir) {
  ResLinks* links = LinksOf(dir);
  if (links->wedged != errNone) return links->wedged;
  // The copies to the resources' places are durable before the home names
  // them again.
  ErrCode err = SyncData(links);
  if (err == errNone) err = WriteHeader(links, links->home.header);
  if (err != errNone) return err;
  Range spans[2] = {DataArea(dir), Range{0, 0}};
  SetStored(links, links->home.dirOffset, links->home.dirLength, spans);
  FileTruncate(links->file, static_cast<int32_t>(links->home.fileEnd));
  links->staging.floor = 0;
  return errNone;
}

bool okr_res::AwayFromHome(ResDirectory* dir) {
  const ResLinks* links = LinksOf(dir);
  return links->stored.dirOffset != links->home.dirOffset ||
         memcmp(links->stored.header, links->home.header, kHeaderSize) != 0;
}
