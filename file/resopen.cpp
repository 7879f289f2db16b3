// The module's state, its start, and opening resource files: the directory
// is read, brought into native byte order and checked before anything is
// linked into the chain of open files.
#include "file/res_internal.h"

using namespace okr_res;

ErrCode resLastError = errResNotStarted;
Handle resTopFile = nullptr;
Handle resCurrentFile = nullptr;
File* resAuxFile1 = nullptr;
File* resAuxFile2 = nullptr;
uint32_t resStarted = 0;
File* resLastOpenedFile = nullptr;

namespace {

// Reads the header as it stands into `raw` and converted into `header`;
// checks that the directory lies inside a file of *outFileSize bytes.
ErrCode ReadHeader(File* file, ResFileHeader* raw, ResFileHeader* header, uint32_t* outFileSize) {
  ErrCode err = FileRead(file, raw, kHeaderSize);
  *header = *raw;
  if (err == errNone && header->version != resVersion) err = ResConvertHeader(header);
  if (err != errNone) return err;
  int32_t size = 0;
  err = FileGetSize(file, &size);
  if (err != errNone) return err;
  *outFileSize = static_cast<uint32_t>(size);
  if (header->dirLength < kDirFixedSize) return errResInvalidFile;
  // Reading such a directory would run into the end of the file; refuse it
  // before any memory is asked for.
  if (uint64_t{header->dirOffset} + header->dirLength > *outFileSize) return errFileEof;
  return errNone;
}

// Reads the directory into a new handle of exactly dirLength bytes.
ErrCode ReadDirectory(File* file, const ResFileHeader& header, Handle* outDir) {
  Handle dirHandle = MemNewHandle(header.dirLength);
  if (dirHandle == nullptr) return MemGetError();
  *outDir = dirHandle;
  ErrCode err = FileSeek(file, fileSeekStart, static_cast<int32_t>(header.dirOffset));
  if (err != errNone) return err;
  MemLockHandle(dirHandle);
  err = FileRead(file, dirHandle->data, header.dirLength);
  MemUnlockHandle(dirHandle);
  if (err != errNone) return err;
  ResDirectory* dir = DirOf(dirHandle);
  if (dir->header.version == resVersion) return errNone;
  return ConvertDirectoryWithin(dir, header.dirLength);
}

// True when the type list follows the fixed part and each type's entries
// follow the last one's, up to the directory's end.
bool IsCanonical(ResDirectory* dir) {
  if (dir->typeListOffset != kDirFixedSize) return false;
  uint32_t typeCount = *TypeCountWord(dir);
  uint64_t expected = kWordSize + uint64_t{typeCount} * kTypeRecordSize;
  for (uint32_t i = 0; i < typeCount; ++i) {
    const ResTypeRecord* type = TypeAt(dir, i);
    if (type->entryListOffset != expected) return false;
    expected += uint64_t{type->entryCount} * kEntrySize;
  }
  return kDirFixedSize + expected == dir->header.dirLength;
}

// Writes the canonical form of `dir` into `out`, `length` bytes: the type
// list after the fixed part, then each type's entries, in type order.
void BuildCanonical(ResDirectory* dir, ResDirectory* out, uint32_t length) {
  memcpy(out, dir, kDirFixedSize);
  out->header.dirLength = length;
  out->typeListOffset = kDirFixedSize;
  uint32_t typeCount = *TypeCountWord(dir);
  *TypeCountWord(out) = typeCount;
  uint32_t entries = kWordSize + typeCount * kTypeRecordSize;
  for (uint32_t i = 0; i < typeCount; ++i) {
    const ResTypeRecord* type = TypeAt(dir, i);
    *TypeAt(out, i) = ResTypeRecord{type->typeId, type->entryCount, entries};
    memcpy(EntryAt(out, TypeAt(out, i), 0), EntryAt(dir, type, 0), type->entryCount * kEntrySize);
    entries += type->entryCount * kEntrySize;
  }
}

// Brings a directory laid out otherwise into the canonical layout, which is
// never longer (the check keeps the entry arrays apart). 0 or 0x4603.
ErrCode Canonicalize(Handle dirHandle, uint32_t entryTotal) {
  if (IsCanonical(DirOf(dirHandle))) return errNone;
  uint32_t length = kDirFixedSize + kWordSize + *TypeCountWord(DirOf(dirHandle)) * kTypeRecordSize +
                    entryTotal * kEntrySize;
  Handle scratch = MemNewHandle(length);
  if (scratch == nullptr) return MemGetError();
  BuildCanonical(DirOf(dirHandle), static_cast<ResDirectory*>(scratch->data), length);
  memcpy(dirHandle->data, scratch->data, length);
  MemDisposeHandle(scratch);
  return errNone;
}

// Entries of all types of a checked directory (they fit in 32 bits).
uint32_t CountEntries(ResDirectory* dir) {
  uint32_t total = 0;
  for (uint32_t i = 0; i < *TypeCountWord(dir); ++i)
    total += TypeAt(dir, i)->entryCount;
  return total;
}

// Brings the directory into its canonical layout and gives the block room
// for the run-time values beside it, cleared; clears the directory's own
// run-time words too: whatever the file held there means nothing now.
// Records what the file on disk holds, `fileSize` bytes; builds the type
// index, and a file that can be written gets its staged table. 0 or 0x4603.
ErrCode AttachRuntime(Handle dirHandle, File* file, uint32_t openFlags, const ResFileHeader& header,
                      const ResFileHeader& raw, uint32_t fileSize) {
  uint32_t total = CountEntries(DirOf(dirHandle));
  ErrCode err = Canonicalize(dirHandle, total);
  if (err != errNone) return err;
  uint32_t length = DirOf(dirHandle)->header.dirLength;
  uint32_t blockSize = BlockSizeFor(length, total);
  if (blockSize == 0) return errMemOutOfMemory;
  err = MemSetHandleSize(dirHandle, blockSize);
  if (err != errNone) return err;
  ResDirectory* dir = DirOf(dirHandle);
  memset(Bytes(dir) + length, 0, blockSize - length);
  dir->nextFile = 0;
  dir->file = 0;
  for (Cursor c = FirstEntry(dir); c.entry != nullptr; NextEntry(&c))
    c.entry->dataHandle = 0;
  ResLinks* links = LinksOf(dir);
  links->nextFile = resTopFile;
  links->file = file;
  links->entryTotal = total;
  links->entryBase = kDirFixedSize + kWordSize + *TypeCountWord(dir) * kTypeRecordSize;
  links->capacity = blockSize;
  InitStored(dir, header, &raw, fileSize);
  dir->fileFlags |= openFlags;
  // The tables come last, and the second failing takes the first with it.
  err = OpenTypeIndex(dirHandle);
  if (err != errNone || (DirOf(dirHandle)->fileFlags & resFileFlagReadOnly)) return err;
  err = ReserveStaging(dirHandle, total);
  if (err != errNone) CloseTypeIndex(DirOf(dirHandle));
  return err;
}

// Reads, converts and checks the directory of the file on `file` and
// attaches its run-time values. On failure *outDir holds the handle made, if
// any, for the caller to dispose of.
ErrCode LoadDirectory(File* file, uint32_t openFlags, Handle* outDir) {
  ResFileHeader raw, header;
  uint32_t fileSize = 0;
  ErrCode err = ReadHeader(file, &raw, &header, &fileSize);
  if (err == errNone) err = ReadDirectory(file, header, outDir);
  if (err == errNone) err = CheckDirectory(*outDir, header, fileSize);
  if (err == errNone) err = AttachRuntime(*outDir, file, openFlags, header, raw, fileSize);
  return err;
}

}  // namespace

extern "C" ErrCode ResInit(void) {
  resStarted = 1;
  resTopFile = nullptr;
  resCurrentFile = nullptr;
  resLastOpenedFile = nullptr;
  resLastError = errNone;
  return errNone;
}

extern "C" ErrCode ResStart(const char* libPath, File** outFile) {
  if (outFile == nullptr) return Report(errNilPointer);
  *outFile = nullptr;
  ResInit();
  if (libPath == nullptr) return errNone;
  return ResOpenNamedFile(libPath, outFile);
}

extern "C" ErrCode ResOpenNamedFile(const char* libPath, File** outFile) {
  if (outFile == nullptr) return Report(errNilPointer);
  File* file = nullptr;
  ErrCode err = Report(FileOpen(libPath, "rb", &file));
  if (err != errNone) return err;
  *outFile = file;
  return ResOpenFile(file, resFileFlagReadOnly);
}

extern "C" ErrCode ResOpenFile(File* file, uint32_t openFlags) {
  if (file == nullptr) return Report(errNilPointer);
  // A stream already open as a resource file is refused and stays open: a
  // second directory on it would have the stream closed twice.
  if (FindFileByStream(file) != nullptr) return Report(errResAlreadyInFile);
  Handle dirHandle = nullptr;
  ErrCode err = LoadDirectory(file, openFlags, &dirHandle);
  if (err != errNone) {
    // The tables are made last: a failed open has none.
    if (dirHandle != nullptr) MemDisposeHandle(dirHandle);
    FileClose(file);
    return Report(err);
  }
  resTopFile = dirHandle;
  resCurrentFile = dirHandle;
  resLastOpenedFile = file;
  return Report(errNone);
}
