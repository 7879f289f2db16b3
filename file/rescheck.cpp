// The check of an untrusted directory: every offset and count inside the
// directory, entry arrays apart from each other, every resource inside the
// data area and none overlapping another. One walk serves two callers:
// opening a file, which stops at the first problem, and ResCheckFile, which
// lists every problem (and, for a sound file, its notes) for the caller.
//
// Invariant of the walk: a step runs only when the steps before it found
// the offsets and counts it reads inside the directory's bytes; a problem
// that leaves them so is recorded and the walk goes on.
#include <algorithm>

#include "file/res_internal.h"

using namespace okr_res;

namespace {

bool Aligned(uint64_t offset) {
  return offset % kWordSize == 0;
}

// Where findings go. Without a list (opening a file) the first problem ends
// the walk; with one, every finding is appended to it.
class Sink {
 public:
  explicit Sink(Handle list) : list_(list) {}

  // Records `f`; false when the walk is to stop: a problem with no list to
  // put it in, or a list that cannot grow (err() then says why).
  bool Add(const ResFinding& f) {
    if (f.kind < resCheckNotes && code_ == errNone) code_ = CodeOf(f.kind);
    if (list_ == nullptr) return f.kind >= resCheckNotes;
    if (count_ * sizeof(ResFinding) == MemGetHandleSize(list_)) {
      const uint32_t room = count_ < 8 ? 8 : count_ * 2;
      if (room > 0xFFFFFFFFu / sizeof(ResFinding)) return Stop(errMemOutOfMemory);
      if (ErrCode err = MemSetHandleSize(list_, room * uint32_t{sizeof(ResFinding)}))
        return Stop(err);
    }
    static_cast<ResFinding*>(list_->data)[count_++] = f;
    return true;
  }

  // The code of the first problem, the one opening the file gives; 0 when
  // there was none.
  ErrCode code() const { return code_; }
  ErrCode err() const { return err_; }
  uint32_t count() const { return count_; }

 private:
  static ErrCode CodeOf(uint32_t kind) {
    switch (kind) {
      case resCheckShortFile:
      case resCheckDirPastEnd:
        return errFileEof;
      case resCheckVersion:
      case resCheckCopyVersion:
        return errVersionMismatch;
      default:
        return errResInvalidFile;
    }
  }
  bool Stop(ErrCode err) {
    err_ = err;
    return false;
  }

  Handle list_;
  uint32_t count_ = 0;
  ErrCode code_ = errNone;
  ErrCode err_ = errNone;
};

ResFinding Finding(uint32_t kind, uint32_t offset, uint32_t size, uint32_t value = 0) {
  ResFinding f{};
  f.kind = kind;
  f.offset = offset;
  f.size = size;
  f.value = value;
  return f;
}

// A range of the walk's scratch: [begin, end) and whose it is (type record
// and entry index).
struct Span {
  uint64_t begin;
  uint64_t end;
  uint32_t type;
  uint32_t entry;
};

// The fixed part and the header copy: the directory read from `dirOffset`
// must lie apart from the data area, which a resource written in place
// would otherwise overwrite in the file. True when the walk may go on to
// the type list.
bool CheckFixedPart(ResDirectory* dir, uint32_t dirOffset, uint32_t length, uint32_t fileSize,
                    Sink& sink) {
  const ResFileHeader& h = dir->header;
  if (h.dirLength != length &&
      !sink.Add(Finding(resCheckCopyLength, dirOffset, length, h.dirLength)))
    return false;
  const uint64_t dataEnd = uint64_t{h.dataStart} + h.dataLength;
  if (h.dataStart < kHeaderSize) {
    if (!sink.Add(Finding(resCheckDataInHeader, h.dataStart, h.dataLength, kHeaderSize)))
      return false;
  } else if (dataEnd > fileSize) {
    if (!sink.Add(Finding(resCheckDataPastEnd, h.dataStart, h.dataLength, fileSize))) return false;
  }
  if (h.dataLength != 0 && dirOffset < dataEnd && uint64_t{dirOffset} + length > h.dataStart) {
    ResFinding f = Finding(resCheckDirInData, dirOffset, length);
    f.otherOffset = h.dataStart;
    f.otherSize = h.dataLength;
    if (!sink.Add(f)) return false;
  }
  const uint64_t list = dir->typeListOffset;
  if (list < kDirFixedSize || !Aligned(list) || list + kWordSize > length) {
    sink.Add(Finding(resCheckTypeList, dir->typeListOffset, kWordSize, length));
    return false;
  }
  const uint32_t typeCount = *TypeCountWord(dir);
  if (list + kWordSize + uint64_t{typeCount} * kTypeRecordSize > length) {
    ResFinding f = Finding(resCheckTypeRecords, dir->typeListOffset, kWordSize, length);
    f.index = typeCount;
    sink.Add(f);
    return false;
  }
  return true;
}

// Each type's entry array lies after the type list and inside the
// directory. Counts the entries into *outTotal; true when all do.
bool CheckTypes(ResDirectory* dir, uint32_t length, uint64_t* outTotal, Sink& sink) {
  const uint32_t typeCount = *TypeCountWord(dir);
  const uint64_t listEnd = kWordSize + uint64_t{typeCount} * kTypeRecordSize;
  bool inside = true;
  *outTotal = 0;
  for (uint32_t i = 0; i < typeCount; ++i) {
    const ResTypeRecord* t = TypeAt(dir, i);
    const uint64_t end = uint64_t{t->entryListOffset} + uint64_t{t->entryCount} * kEntrySize;
    *outTotal += t->entryCount;
    if (t->entryListOffset >= listEnd && Aligned(t->entryListOffset) &&
        dir->typeListOffset + end <= length)
      continue;
    ResFinding f = Finding(resCheckEntryArray, t->entryListOffset, t->entryCount, length);
    f.typeId = t->typeId;
    f.index = i;
    inside = false;
    if (!sink.Add(f)) return false;
  }
  return inside;
}

// Reports each non-empty span that starts before an earlier one ends, as
// `make` words it; true when none does (or the sink wants more).
template <typename Make>
bool ReportOverlaps(Span* spans, uint32_t count, Sink& sink, bool* outDisjoint, Make make) {
  std::sort(spans, spans + count, [](const Span& a, const Span& b) { return a.begin < b.begin; });
  const Span* reached = nullptr;
  *outDisjoint = true;
  for (uint32_t i = 0; i < count; ++i) {
    const Span& s = spans[i];
    if (s.begin == s.end) continue;
    if (reached != nullptr && s.begin < reached->end) {
      *outDisjoint = false;
      if (!sink.Add(make(s, *reached))) return false;
    }
    if (reached == nullptr || s.end > reached->end) reached = &s;
  }
  return true;
}

// The entry arrays lie apart from each other.
bool EntryArraysDisjoint(ResDirectory* dir, Span* spans, Sink& sink) {
  const uint32_t typeCount = *TypeCountWord(dir);
  for (uint32_t i = 0; i < typeCount; ++i) {
    const ResTypeRecord* t = TypeAt(dir, i);
    spans[i] = {t->entryListOffset, t->entryListOffset + uint64_t{t->entryCount} * kEntrySize, i,
                0};
  }
  bool disjoint = true;
  auto make = [dir](const Span& s, const Span& earlier) {
    ResFinding f = Finding(resCheckEntryOverlap, static_cast<uint32_t>(s.begin),
                           TypeAt(dir, s.type)->entryCount);
    f.typeId = TypeAt(dir, s.type)->typeId;
    f.index = s.type;
    f.otherTypeId = TypeAt(dir, earlier.type)->typeId;
    f.otherIndex = earlier.type;
    f.otherOffset = static_cast<uint32_t>(earlier.begin);
    f.otherSize = TypeAt(dir, earlier.type)->entryCount;
    return f;
  };
  return ReportOverlaps(spans, typeCount, sink, &disjoint, make) && disjoint;
}

// Every resource lies inside the data area, none overlapping another; an
// empty one holds no bytes, so any place will do for it (a compaction may
// leave it past the packed data). Adds the bytes they hold to *outUsed.
bool ResourcesInPlace(ResDirectory* dir, Span* spans, uint64_t* outUsed, Sink& sink) {
  uint32_t n = 0;
  bool inside = true;
  *outUsed = 0;
  for (Cursor c = FirstEntry(dir); c.entry != nullptr; NextEntry(&c)) {
    const Span s{c.entry->dataOffset, uint64_t{c.entry->dataOffset} + c.entry->dataSize,
                 c.typeIndex, c.entryIndex};
    *outUsed += c.entry->dataSize;
    spans[n++] = s;
    if (s.end <= dir->header.dataLength || s.begin == s.end) continue;
    ResFinding f = Finding(resCheckOutsideData, c.entry->dataOffset, c.entry->dataSize,
                           dir->header.dataLength);
    f.typeId = c.type->typeId;
    f.index = c.entryIndex;
    inside = false;
    if (!sink.Add(f)) return false;
  }
  bool disjoint = true;
  auto make = [dir](const Span& s, const Span& earlier) {
    ResFinding f = Finding(resCheckOverlap, static_cast<uint32_t>(s.begin),
                           static_cast<uint32_t>(s.end - s.begin));
    f.typeId = TypeAt(dir, s.type)->typeId;
    f.index = s.entry;
    f.otherTypeId = TypeAt(dir, earlier.type)->typeId;
    f.otherIndex = earlier.entry;
    f.otherOffset = static_cast<uint32_t>(earlier.begin);
    f.otherSize = static_cast<uint32_t>(earlier.end - earlier.begin);
    return f;
  };
  return ReportOverlaps(spans, n, sink, &disjoint, make) && disjoint && inside;
}

// The checks that need scratch room, one span per type and per entry, in
// the locked directory `dir`; the scratch stays locked while the sink's
// list may grow. Entry arrays that lie apart hold at most length /
// kEntrySize entries: with more, some of them overlap, which their own
// spans show, and the resources are not walked. *outUsed receives the bytes
// they hold.
ErrCode CheckPlacement(ResDirectory* dir, uint32_t length, uint64_t entryTotal, uint64_t* outUsed,
                       Sink& sink) {
  const uint32_t typeCount = *TypeCountWord(dir);
  const bool fits = entryTotal <= length / kEntrySize;
  const uint64_t items = std::max<uint64_t>(typeCount, fits ? entryTotal : 0);
  if (items * sizeof(Span) > 0xFFFFFFFFu) return errResInvalidFile;
  Handle scratch = MemNewHandle(static_cast<uint32_t>(items * sizeof(Span)));
  if (scratch == nullptr) return MemGetError();
  MemLockHandle(scratch);
  Span* spans = static_cast<Span*>(scratch->data);
  bool ok =
      EntryArraysDisjoint(dir, spans, sink) && fits && ResourcesInPlace(dir, spans, outUsed, sink);
  MemDisposeHandle(scratch);
  return ok ? ErrCode{errNone} : ErrCode{errResInvalidFile};
}

// The whole walk over the native directory in `dirHandle`, read from where
// `header` places it in a file of `fileSize` bytes. *outUsed receives the
// bytes the resources hold. 0, 0x4585, or a memory code. The directory
// stays locked throughout: a finding may grow the sink's list, and the
// scratch is allocated, either of which may move unlocked blocks.
ErrCode Walk(Handle dirHandle, const ResFileHeader& header, uint32_t fileSize, uint64_t* outUsed,
             Sink& sink) {
  const uint32_t dirFlags = MemGetFlags(dirHandle);
  MemLockHandle(dirHandle);
  ResDirectory* dir = DirOf(dirHandle);
  const uint32_t length = header.dirLength;
  uint64_t entryTotal = 0;
  *outUsed = 0;
  ErrCode err = errResInvalidFile;
  if (CheckFixedPart(dir, header.dirOffset, length, fileSize, sink) &&
      CheckTypes(dir, length, &entryTotal, sink))
    err = CheckPlacement(dir, length, entryTotal, outUsed, sink);
  MemSetFlags(dirHandle, dirFlags);
  return err;
}

// ---- ResCheckFile -----------------------------------------------------------

// What ResCheckFile reads of a file.
struct Scan {
  File* file = nullptr;
  uint32_t size = 0;
  ResFileHeader raw{};     // the header at offset 0, as stored
  ResFileHeader header{};  // the same, in native order
  Handle dir = nullptr;
};

// The header: the file's size, the version and the directory's place. True
// when the directory may be read.
bool ScanHeader(Scan& scan, ErrCode* outErr, Sink& sink) {
  int32_t size = 0;
  *outErr = FileGetSize(scan.file, &size);
  if (*outErr != errNone) return false;
  scan.size = static_cast<uint32_t>(size);
  if (scan.size < kHeaderSize) {
    sink.Add(Finding(resCheckShortFile, 0, scan.size));
    return false;
  }
  *outErr = FileRead(scan.file, &scan.raw, kHeaderSize);
  if (*outErr != errNone) return false;
  ResFileHeader& h = scan.header;
  h = scan.raw;
  if (h.version != resVersion && ResConvertHeader(&h) != errNone) {
    sink.Add(Finding(resCheckVersion, 4, kWordSize, scan.raw.version));
    return false;
  }
  if (h.dirLength < kDirFixedSize) {
    sink.Add(Finding(resCheckDirTooShort, h.dirOffset, h.dirLength, kDirFixedSize));
    return false;
  }
  if (uint64_t{h.dirOffset} + h.dirLength > scan.size) {
    sink.Add(Finding(resCheckDirPastEnd, h.dirOffset, h.dirLength, scan.size));
    return false;
  }
  return true;
}

// The directory, read into scan.dir and brought into native order. True
// when the walk may begin.
bool ScanDirectory(Scan& scan, ErrCode* outErr, Sink& sink) {
  const ResFileHeader& h = scan.header;
  scan.dir = MemNewHandle(h.dirLength);
  if (scan.dir == nullptr) {
    *outErr = MemGetError();
    return false;
  }
  *outErr = FileSeek(scan.file, fileSeekStart, static_cast<int32_t>(h.dirOffset));
  if (*outErr != errNone) return false;
  MemLockHandle(scan.dir);
  *outErr = FileRead(scan.file, scan.dir->data, h.dirLength);
  MemUnlockHandle(scan.dir);
  if (*outErr != errNone) return false;
  ResDirectory* dir = DirOf(scan.dir);
  const uint32_t version = dir->header.version;
  if (version == resVersion) return true;
  const ErrCode converted = ConvertDirectoryWithin(dir, h.dirLength);
  if (converted == errNone) return true;
  const uint32_t kind = converted == errVersionMismatch ? resCheckCopyVersion : resCheckDirWalk;
  sink.Add(Finding(kind, h.dirOffset, h.dirLength, version));
  return false;
}

// The notes on a file the library accepts, whose resources hold `used`
// bytes.
void AddNotes(const Scan& scan, uint64_t used, Sink& sink) {
  // A copy, not a reference: each note may grow the list and move the
  // directory.
  const ResFileHeader copy = DirOf(scan.dir)->header;
  if (memcmp(&copy, &scan.header, kHeaderSize) != 0)
    sink.Add(Finding(resCheckHeaderCopy, 0, kHeaderSize));
  if (used < copy.dataLength) {
    sink.Add(Finding(resCheckGaps, copy.dataStart, copy.dataLength,
                     static_cast<uint32_t>(copy.dataLength - used)));
  }
  // What a compaction keeps: the data area packed from its start, the
  // directory behind it; the file ends there.
  const uint64_t kept = uint64_t{copy.dataStart} + copy.dataLength + copy.dirLength;
  if (kept < scan.size) {
    sink.Add(Finding(resCheckTrailing, static_cast<uint32_t>(kept),
                     static_cast<uint32_t>(scan.size - kept)));
  }
}

// Runs the whole check of the open file in `scan`. 0 or a code that ends
// the check without a verdict (file layer, memory).
ErrCode CheckScan(Scan& scan, Sink& sink) {
  ErrCode err = errNone;
  if (!ScanHeader(scan, &err, sink) || !ScanDirectory(scan, &err, sink)) return err;
  uint64_t used = 0;
  err = Walk(scan.dir, scan.header, scan.size, &used, sink);
  if (err != errNone && err != errResInvalidFile) return err;
  if (sink.code() == errNone) AddNotes(scan, used, sink);
  return errNone;
}

}  // namespace

ErrCode okr_res::CheckDirectory(Handle dirHandle, const ResFileHeader& header, uint32_t fileSize) {
  Sink firstProblem(nullptr);
  uint64_t used = 0;
  return Walk(dirHandle, header, fileSize, &used, firstProblem);
}

extern "C" ErrCode ResCheckFile(const char* libPath, Handle* outFindings) {
  if (outFindings == nullptr) return Report(errNilPointer);
  *outFindings = nullptr;
  if (libPath == nullptr) return Report(errNilPointer);
  // The path is read before anything is allocated: it may lie in a block
  // that the allocation moves.
  Scan scan;
  ErrCode err = FileOpen(libPath, "rb", &scan.file);
  if (err != errNone) return Report(err);
  Handle list = MemNewHandle(0);
  if (list == nullptr) {
    FileClose(scan.file);
    return Report(MemGetError());
  }
  Sink sink(list);
  err = CheckScan(scan, sink);
  if (err == errNone) err = sink.err();
  if (scan.dir != nullptr) MemDisposeHandle(scan.dir);
  if (scan.file != nullptr) FileClose(scan.file);
  if (err != errNone) {
    MemDisposeHandle(list);
    return Report(err);
  }
  // The list keeps exactly its findings: it only ever shrinks here.
  MemSetHandleSize(list, sink.count() * uint32_t{sizeof(ResFinding)});
  *outFindings = list;
  return Report(sink.code());
}
