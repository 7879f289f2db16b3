// Writing back every changed resource of one file. Resources that grew are
// appended one after the other, and those that keep their place are staged
// one after the other (resstage.cpp), so the data of each kind is gathered
// into batches and each batch goes to the file in one write. An entry takes
// its new place only once its batch is written.
#include "file/file_internal.h"
#include "file/res_internal.h"

using namespace okr_res;

namespace {

constexpr uint32_t kBatchBytes = 8192;
constexpr uint32_t kBatchEntries = 128;

// Resources gathered back to back for one write: appended, or staged.
struct Batch {
  bool staged;
  char bytes[kBatchBytes];
  ResEntry* entries[kBatchEntries];
  uint32_t sizes[kBatchEntries];
  uint32_t count;
  uint32_t size;
};

// Bytes the write-back of `dir` will append: the changed loaded resources
// that grew. 0 when they would not fit in a file anyway.
uint32_t BytesToAppend(ResDirectory* dir) {
  uint64_t total = 0;
  for (Cursor c = FirstEntry(dir); c.entry != nullptr; NextEntry(&c)) {
    Handle data = GetEntryData(dir, c.entry);
    if (data == nullptr || !(c.entry->attributes & resAttrChanged)) continue;
    uint32_t size = MemGetHandleSize(data);
    if (size > c.entry->dataSize) total += size;
  }
  return total > kMaxFilePos ? uint32_t{0} : static_cast<uint32_t>(total);
}

// Ends the pass after a write that failed: the resource stays changed, so
// with `release` its release is refused, and that is the outcome, as for a
// resource written on its own.
void WriteFailed(ErrCode err, bool release) {
  Report(release ? ErrCode{errResAttributes} : err);
}

// Writes the batch, appended to the data area or staged, and gives its
// entries their places; with `release`, their data is released then. Leaves
// the code in resLastError; the entries stay changed when the write fails.
void WriteBatch(ResDirectory* dir, Batch* batch, bool release) {
  if (batch->count == 0) return;
  ErrCode err = errNone;
  uint32_t at = 0;
  int32_t pos = 0;
  if (batch->staged) {
    at = StagePlace(dir, batch->size, &err);
    if (err == errNone) err = SeekPlace(dir, at, batch->size, &pos);
  } else {
    err = MakeAppendRoom(dir, batch->size);
    at = dir->header.dataLength;
    if (err == errNone) err = SeekData(dir, at, batch->size, &pos);
  }
  if (err == errNone) err = FileWriteHere(LinksOf(dir)->file, pos, batch->bytes, batch->size);
  batch->size = 0;
  uint32_t count = batch->count;
  batch->count = 0;
  if (err != errNone) return WriteFailed(err, release);
  for (uint32_t i = 0; i < count; ++i) {
    ResEntry* e = batch->entries[i];
    Written(dir, e, batch->staged ? e->dataOffset : at, batch->sizes[i]);
    if (batch->staged) Staged(dir, e, at);
    at += batch->sizes[i];
    if (release) ReleaseAt(Cursor{dir, 0, 0, nullptr, e});
  }
  if (!batch->staged) dir->header.dataLength = at;
}

// Adds the changed resource at `c` to the batch of its kind, writing that
// batch first when it is full. False when it does not go in a batch: no
// bytes, or too many.
bool Gather(ResDirectory* dir, const Cursor& c, Handle data, Batch batches[2], bool release) {
  uint32_t size = MemGetHandleSize(data);
  if (size == 0 || size > kBatchBytes) return false;
  Batch* batch = &batches[size <= c.entry->dataSize];
  if (batch->size + size > kBatchBytes || batch->count == kBatchEntries)
    WriteBatch(dir, batch, release);
  if (resLastError != errNone) return true;
  memcpy(batch->bytes + batch->size, data->data, size);
  batch->entries[batch->count] = c.entry;
  batch->sizes[batch->count++] = size;
  batch->size += size;
  return true;
}

}  // namespace

// Entries are written back and released through the walk's own cursor:
// releasing frees memory but never moves the directory, and writing back
// allocates nothing. Room for everything that will be appended is made at
// once, so the stored directory moves out of the way once at most, and the
// staging region starts beyond that room.
extern "C" void ResWriteChanged(Handle dirHandle, int releaseAll) {
  if (dirHandle == nullptr || !IsOpenDirectory(dirHandle)) {
    Report(dirHandle == nullptr ? ErrCode{errNilPointer} : ErrCode{errResFileNotFound});
    return;
  }
  resLastError = errNone;
  ResDirectory* dir = DirOf(dirHandle);
  bool writable = !(dir->fileFlags & resFileFlagReadOnly) && LinksOf(dir)->wedged == errNone;
  if (writable) {
    uint32_t appended = BytesToAppend(dir);
    ErrCode err = appended != 0 ? MakeAppendRoom(dir, appended) : ErrCode{errNone};
    if (err != errNone) return WriteFailed(err, releaseAll);
  }
  Batch batches[2];  // appended, staged
  for (int i = 0; i < 2; ++i) {
    batches[i].staged = i == 1;
    batches[i].count = batches[i].size = 0;
  }
  for (Cursor c = FirstEntry(dir); c.entry != nullptr; NextEntry(&c)) {
    if (resLastError != errNone) return;
    Handle data = GetEntryData(dir, c.entry);
    if (data == nullptr) continue;
    if (c.entry->attributes & resAttrChanged) {
      if (writable && Gather(dir, c, data, batches, releaseAll)) continue;
      // A large resource that grew goes after the batched ones.
      if (MemGetHandleSize(data) > c.entry->dataSize) WriteBatch(dir, &batches[0], releaseAll);
      if (resLastError == errNone) WriteEntry(dir, c);
    }
    if (releaseAll) ReleaseAt(c);
  }
  for (Batch& batch : batches)
    if (resLastError == errNone) WriteBatch(dir, &batch, releaseAll);
}
