// Flushing and closing resource files: write-back, compaction, the directory
// rewritten before the header, and unlinking from the chain of open files.
#include "file/res_internal.h"

using namespace okr_res;

namespace {

// Writes the whole directory at dirOffset, then its header copy at offset 0.
ErrCode WriteDirectory(ResDirectory* dir) {
  File* file = GetLinks(dir).file;
  uint64_t end = uint64_t{dir->header.dirOffset} + dir->header.dirLength;
  if (end > kMaxFilePos) return errFileBounds;
  ErrCode err = FileSeek(file, fileSeekStart, static_cast<int32_t>(dir->header.dirOffset));
  if (err == errNone) err = FileWrite(file, dir, dir->header.dirLength);
  if (err == errNone) err = FileSeek(file, fileSeekStart, 0);
  if (err == errNone) err = FileWrite(file, dir, kHeaderSize);
  return err;
}

// Disposes of every loaded resource the file still holds.
void DisposeAllData(ResDirectory* dir) {
  for (Cursor c = FirstEntry(dir); c.entry != nullptr; NextEntry(&c)) {
    Handle data = GetEntryData(dir, c.ordinal);
    if (data == nullptr) continue;
    DisposeResourceData(data);
    SetEntryData(dir, c.ordinal, nullptr);
  }
}

void Unlink(Handle dirHandle) {
  Handle next = GetLinks(DirOf(dirHandle)).nextFile;
  if (resTopFile == dirHandle) {
    resTopFile = next;
  } else {
    for (Handle h = resCurrentFile; h != nullptr; h = GetLinks(DirOf(h)).nextFile) {
      ResLinks links = GetLinks(DirOf(h));
      if (links.nextFile != dirHandle) continue;
      links.nextFile = next;
      SetLinks(DirOf(h), links);
      break;
    }
  }
  if (resCurrentFile == dirHandle) resCurrentFile = next;
}

}  // namespace

extern "C" ErrCode ResFlushFile(File* file) {
  Handle dirHandle = ResFindFile(file);
  if (dirHandle == nullptr) return errResFileNotFound;
  ResWriteChanged(dirHandle, 0);
  if (resLastError != errNone) return resLastError;
  ResDirectory* dir = DirOf(dirHandle);
  if (!(dir->fileFlags & resFileFlagChanged)) return errNone;
  ErrCode err = ResCompactFile(dirHandle);
  if (err != errNone) return err;
  // The stored directory carries "written", never "changed".
  dir->fileFlags = (dir->fileFlags & ~uint32_t{resFileFlagChanged}) | resFileFlagWritten;
  err = WriteDirectory(dir);
  // A directory that did not reach the file keeps the file marked changed,
  // so that a later flush tries again.
  if (err != errNone) dir->fileFlags |= resFileFlagChanged;
  return Report(err);
}

extern "C" ErrCode ResCloseFile(File* file) {
  Handle dirHandle = ResFindFile(file);
  if (dirHandle == nullptr) return errResFileNotFound;
  ResDirectory* dir = DirOf(dirHandle);
  // A resource shrunk in place has its new size only in memory; such a file
  // is rewritten like one the library wrote before, so no size is lost.
  if ((dir->fileFlags & (resFileFlagWritten | resFileFlagChanged)) || GetLinks(dir).shrunk) {
    ResWriteChanged(dirHandle, 1);
    dir->fileFlags |= resFileFlagChanged;
  }
  ResFlushFile(file);
  FileClose(file);
  // Changed data that could not be written goes with the file: nothing could
  // reach it once the directory is gone.
  DisposeAllData(dir);
  Unlink(dirHandle);
  return Report(MemDisposeHandle(dirHandle));
}

extern "C" void ResCloseAll(void) {
  resLastError = errNone;
  for (Handle h = resCurrentFile; h != nullptr && resLastError == errNone;) {
    ResLinks links = GetLinks(DirOf(h));
    resLastError = ResCloseFile(links.file);
    h = links.nextFile;
  }
}

extern "C" ErrCode ResCloseAuxFiles(void) {
  File** slots[] = {&resAuxFile1, &resAuxFile2};
  for (File** slot : slots) {
    if (*slot == nullptr) continue;
    FileClose(*slot);
    *slot = nullptr;
  }
  return errNone;
}
