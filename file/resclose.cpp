// Flushing and closing resource files: write-back, compaction, the directory
// stored before the header points at it, and unlinking from the chain of
// open files.
#include "file/res_internal.h"

using namespace okr_res;

namespace {

// Disposes of every loaded resource the file still holds.
void DisposeAllData(ResDirectory* dir) {
  for (uint32_t cell = 0; cell < CellCount(dir); ++cell) {
    Handle* slot = SlotOf(dir, cell);
    if (*slot == nullptr) continue;
    DisposeResourceData(*slot);
    *slot = nullptr;
  }
}

// Takes the file out of the chain; the two heads move on past it. The file
// before it is looked for from the head: a program may have made an older
// file current, and the newer ones still link to what follows them.
void Unlink(Handle dirHandle) {
  Handle next = LinksOf(DirOf(dirHandle))->nextFile;
  if (resTopFile == dirHandle) {
    resTopFile = next;
  } else {
    for (Handle h = resTopFile; h != nullptr; h = LinksOf(DirOf(h))->nextFile) {
      ResLinks* links = LinksOf(DirOf(h));
      if (links->nextFile != dirHandle) continue;
      links->nextFile = next;
      break;
    }
  }
  if (resCurrentFile == dirHandle) resCurrentFile = next;
}

// The flush of a file not marked changed: rewrites waiting in the staging
// region reach their places; then a file whose header points elsewhere
// returns to its home, which names every resource at its place with its
// size, unless a resource shrank or an append that failed may have written
// over the home: the directory is then stored at its place (the flush
// rewrote it, so it carries "written").
ErrCode FlushInPlace(ResDirectory* dir) {
  ResLinks* links = LinksOf(dir);
  if (!HasStaged(dir) && !links->shrunk && !AwayFromHome(dir))
    return links->unsynced ? SyncData(links) : ErrCode{errNone};
  ErrCode err = SettleInPlace(dir);
  if (err != errNone) return err;
  if (!links->shrunk && !links->home.lost) return ReturnHome(dir);
  dir->fileFlags |= resFileFlagWritten;
  return StoreDirectory(dir, links->home.fileEnd);
}

}  // namespace

extern "C" ErrCode ResFlushFile(File* file) {
  Handle dirHandle = ResFindFile(file);
  if (dirHandle == nullptr) return errResFileNotFound;
  ResWriteChanged(dirHandle, 0);
  if (resLastError != errNone) return resLastError;
  ResDirectory* dir = DirOf(dirHandle);
  if (!(dir->fileFlags & resFileFlagChanged)) return Report(FlushInPlace(dir));
  ErrCode err = ResCompactFile(dirHandle);
  if (err != errNone) return err;
  // The stored directory carries "written", never "changed".
  dir->fileFlags = (dir->fileFlags & ~uint32_t{resFileFlagChanged}) | resFileFlagWritten;
  err = StoreDirectory(dir, 0);
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
  if ((dir->fileFlags & (resFileFlagWritten | resFileFlagChanged)) || LinksOf(dir)->shrunk) {
    ResWriteChanged(dirHandle, 1);
    dir->fileFlags |= resFileFlagChanged;
  }
  ResFlushFile(file);
  FileClose(file);
  // Changed data that could not be written goes with the file: nothing could
  // reach it once the directory is gone.
  DisposeAllData(dir);
  DisposeStaging(dir);
  CloseTypeIndex(dir);
  Unlink(dirHandle);
  return Report(MemDisposeHandle(dirHandle));
}

extern "C" void ResCloseAll(void) {
  resLastError = errNone;
  for (Handle h = resCurrentFile; h != nullptr && resLastError == errNone;) {
    ResLinks* links = LinksOf(DirOf(h));
    Handle next = links->nextFile;
    resLastError = ResCloseFile(links->file);
    h = next;
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
