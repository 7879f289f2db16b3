// The text stream's lifecycle: setting a stream over a handle, making,
// releasing, resizing and disposing of streams.
#include <okr/err.h>
#include <okr/txt.h>

#include <stddef.h>

#include "text/errorspot.h"

static_assert(offsetof(TextStream, handle) == 0);
static_assert(offsetof(TextStream, pos) == sizeof(void*));
static_assert(offsetof(TextStream, end) == 2 * sizeof(void*));
static_assert(offsetof(TextStream, line) == 3 * sizeof(void*));
static_assert(offsetof(TextStream, token) == 4 * sizeof(void*));
static_assert(offsetof(TextStream, size) == 5 * sizeof(void*));
static_assert(offsetof(TextStream, flags) == 5 * sizeof(void*) + 4);
static_assert(sizeof(TextStream) == 5 * sizeof(void*) + 8);

ErrCode TxtInitStream(TextStream* stream, Handle text) {
  if (stream == nullptr || text == nullptr) return errNilPointer;
  // A disposed handle has no text: its descriptor describes a free block
  // (whose flags the lock would mark) or none, and no size of the caller's.
  if (!(MemGetFlags(text) & memFlagInUse)) return errBadData;
  MemLockHandle(text);
  // Locking writes no error of its own: this passes on whatever the last
  // memory operation left standing.
  if (ErrCode err = MemGetError()) return err;
  char* data = static_cast<char*>(text->data);
  if (data == nullptr) return errBadData;
  stream->handle = text;
  stream->pos = data;
  stream->line = data;
  stream->token = data;
  stream->size = MemGetHandleSize(text);
  stream->end = data + stream->size;
  stream->flags = txtFlagLocked;
  // A failure noted for this record belongs to the text it was set over.
  if (txtErrorSpot.stream == stream) txtErrorSpot.stream = nullptr;
  return errNone;
}

ErrCode TxtNewStream(Handle text, TextStream** outStream) {
  if (text == nullptr || outStream == nullptr) return errNilPointer;
  *outStream = nullptr;
  auto* stream = static_cast<TextStream*>(MemNewPtrClear(sizeof(TextStream)));
  if (stream == nullptr) return errNoSystemMemory;
  if (ErrCode err = TxtInitStream(stream, text)) {
    MemDisposePtr(stream);
    return err;
  }
  *outStream = stream;
  return errNone;
}

ErrCode TxtNewEmptyStream(uint32_t size, TextStream** outStream) {
  if (outStream == nullptr) return errNilPointer;
  Handle text = MemNewHandle(size);
  if (text == nullptr) {
    ErrCode err = MemGetError();
    return err != errNone ? err : static_cast<ErrCode>(errMemOutOfMemory);
  }
  ErrCode err = TxtNewStream(text, outStream);
  if (err != errNone) MemDisposeHandle(text);
  return err;
}

ErrCode TxtReleaseStream(TextStream* stream) {
  if (stream == nullptr) return errNilPointer;
  if (stream->handle == nullptr) return errBadData;
  MemUnlockHandle(stream->handle);
  stream->pos = nullptr;
  stream->end = nullptr;
  stream->line = nullptr;
  stream->token = nullptr;
  stream->size = 0;
  stream->flags &= ~static_cast<uint32_t>(txtFlagLocked);
  return errNone;
}

ErrCode TxtResizeStream(TextStream* stream, uint32_t newSize) {
  if (stream == nullptr) return errNilPointer;
  if (stream->handle == nullptr) return errBadData;
  TxtReleaseStream(stream);
  // A failed resize shows in its result or in the memory manager's last
  // error, which the resize does not clear.
  ErrCode err = MemSetHandleSize(stream->handle, newSize);
  if (err == errNone) err = MemGetError();
  if (err != errNone) return err;
  return TxtInitStream(stream, stream->handle);
}

ErrCode TxtDisposeStream(TextStream** streamRef) {
  if (streamRef == nullptr || *streamRef == nullptr) return errNilPointer;
  TextStream* stream = *streamRef;
  if (stream->handle == nullptr) return errBadData;
  // Resource data is refused by the memory manager; the record goes anyway.
  MemDisposeHandle(stream->handle);
  MemDisposePtr(stream);
  *streamRef = nullptr;
  return errNone;
}
