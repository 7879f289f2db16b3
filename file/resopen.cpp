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

// Reads and converts the header; checks that the directory lies inside a
// file of *outFileSize bytes.
ErrCode ReadHeader(File* file, ResFileHeader* header, uint32_t* outFileSize) {
  ErrCode err = FileRead(file, header, kHeaderSize);
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

uint32_t CountEntries(ResDirectory* dir) {
  uint32_t total = 0;
  for (uint32_t i = 0; i < *TypeCountWord(dir); ++i)
    total += TypeAt(dir, i)->entryCount;
  return total;
}

// Makes room for the run-time values beside the directory and clears them,
// and the directory's own run-time words: whatever the file held there
// means nothing now.
ErrCode AttachRuntime(Handle dirHandle, File* file, uint32_t openFlags) {
  ResDirectory* dir = DirOf(dirHandle);
  uint32_t length = dir->header.dirLength;
  uint32_t total = CountEntries(dir);
  uint32_t blockSize = BlockSizeFor(length, total);
  if (blockSize == 0) return errMemOutOfMemory;
  ErrCode err = MemSetHandleSize(dirHandle, blockSize);
  if (err != errNone) return err;
  dir = DirOf(dirHandle);
  memset(Bytes(dir) + length, 0, blockSize - length);
  dir->nextFile = 0;
  dir->file = 0;
  for (Cursor c = FirstEntry(dir); c.entry != nullptr; NextEntry(&c))
    c.entry->dataHandle = 0;
  SetLinks(dir, ResLinks{resTopFile, file, total, 0});
  dir->fileFlags |= openFlags;
  return errNone;
}

ErrCode LoadDirectory(File* file, uint32_t openFlags, Handle* outDir) {
  ResFileHeader header;
  uint32_t fileSize = 0;
  ErrCode err = ReadHeader(file, &header, &fileSize);
  if (err == errNone) err = ReadDirectory(file, header, outDir);
  if (err == errNone) err = CheckDirectory(*outDir, header, fileSize);
  if (err == errNone) err = AttachRuntime(*outDir, file, openFlags);
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
    if (dirHandle != nullptr) MemDisposeHandle(dirHandle);
    FileClose(file);
    return Report(err);
  }
  resTopFile = dirHandle;
  resCurrentFile = dirHandle;
  resLastOpenedFile = file;
  return Report(errNone);
}
