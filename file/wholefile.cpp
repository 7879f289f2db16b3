// Whole-file operations: load a file into a new handle, save a handle's
// contents to a file.
#include <okr/err.h>
#include <okr/file.h>

namespace {

// Reads `size` bytes of `file` into a new handle; NULL (and the code in
// *outErr) on failure, with nothing left allocated.
Handle ReadIntoNewHandle(File* file, uint32_t size, ErrCode* outErr) {
  Handle handle = MemNewHandle(size);
  if (handle == nullptr) {
    *outErr = MemGetError();
    return nullptr;
  }
  MemLockHandle(handle);
  *outErr = FileRead(file, handle->data, size);
  MemUnlockHandle(handle);
  if (*outErr == errNone) return handle;
  MemDisposeHandle(handle);
  return nullptr;
}

}  // namespace

extern "C" ErrCode FileLoad(const char* libPath, Handle* outHandle) {
  if (outHandle == nullptr) return errNilPointer;
  *outHandle = nullptr;
  File* file = nullptr;
  ErrCode err = FileOpen(libPath, "rb", &file);
  if (err != errNone) return err;
  int32_t size = 0;
  if (FileGetSize(file, &size) != errNone) {
    FileClose(file);
    return errFileBounds;
  }
  *outHandle = ReadIntoNewHandle(file, static_cast<uint32_t>(size), &err);
  FileClose(file);
  return err;
}

extern "C" ErrCode FileSave(const char* libPath, Handle handle) {
  if (handle == nullptr) return errNilPointer;
  uint32_t size = MemGetHandleSize(handle);
  // A memory failure still standing from the caller's last memory operation
  // stops the save before the file is touched.
  ErrCode err = MemGetError();
  if (err != errNone) return err;
  File* file = nullptr;
  err = FileOpen(libPath, "w+b", &file);
  if (err != errNone) return err;
  MemLockHandle(handle);
  err = FileWrite(file, handle->data, size);
  MemUnlockHandle(handle);
  FileClose(file);
  return err;
}
