/* okr file layer: the library's only road to the file system. A thin layer
   over the platform's buffered streams that translates the library's path
   notation, turns failed transfers into FILE error codes, and loads and
   saves whole files through handles of the memory manager.

   Library paths: a path that begins with ':' is relative to the current
   directory and separates its components with ':' (":data:maps:town.map");
   any other string is a native path and reaches the platform unchanged.

   Positions, seek offsets and sizes are signed 32-bit byte counts: files of
   2 GiB and more are refused with 0x4506 (or cannot be opened at all)
   rather than having their sizes or positions truncated, and no write makes
   one. */
#ifndef OKR_FILE_H
#define OKR_FILE_H

#include <stdio.h>

#include <okr/mem.h>
#include <okr/types.h>

OKR_BEGIN_DECLS

/* An open buffered stream of the platform, as fopen returns it. Every
   operation but FileClose's NULL check takes it as given: after FileClose
   the stream is gone, and passing it again (closing twice) is undefined. */
typedef FILE File;

enum {
  /* Size of the native path buffer, terminator included. */
  filePathBufferSize = 512,
  /* Seek origins (the platform's). */
  fileSeekStart = 0,
  fileSeekCurrent = 1,
  fileSeekEnd = 2
};

/* The component separator that relative library paths translate to. */
#ifdef _WIN32
#define FILE_NATIVE_SEPARATOR '\\'
#else
#define FILE_NATIVE_SEPARATOR '/'
#endif

/* Bytes transferred by the most recent FileRead / FileWrite, set on every
   call, success or failure. 0 at load time; the library never reads them. */
OKR_API extern uint32_t fileLastReadCount;
OKR_API extern uint32_t fileLastWriteCount;

/* Translates `libPath` into a native path in `out`, which must hold
   filePathBufferSize bytes. A leading ':' is dropped and every further ':'
   becomes the platform's separator (":" alone gives ""); any other path is
   copied unchanged. Returns `out`; NULL when either argument is NULL or the
   translation would not fit in filePathBufferSize - 1 characters (then `out`,
   if given, holds ""). */
OKR_API char* FileMakePath(const char* libPath, char* out);

/* Opens `libPath` with the platform mode string `mode` (passed through as
   given). *outFile is set to NULL first. Returns 0 with the stream in
   *outFile; 0x4502 for any failure to open (missing file, bad mode, a path
   too long to translate, NULL path or mode), with errno the platform's
   reason, or ENAMETOOLONG (EINVAL for NULL) when the platform is not asked
   because the path cannot be translated; 0x4101 for a NULL outFile. */
OKR_API ErrCode FileOpen(const char* libPath, const char* mode, File** outFile);

/* Closes `file`. Returns 0 (whatever the platform's close reports), or
   0x4101 for a NULL file. */
OKR_API ErrCode FileClose(File* file);

/* Reads `count` bytes into `dst`. Sets fileLastReadCount to the bytes that
   came. Returns 0 when all came; 0x4503 when fewer came and the stream is at
   its end; 0x4504 when fewer came otherwise; 0x4101 for a NULL file, or a
   NULL dst with a nonzero count (fileLastReadCount 0). */
OKR_API ErrCode FileRead(File* file, void* dst, uint32_t count);

/* Writes `count` bytes from `src` and flushes them to the system, so that a
   full device answers here rather than at FileClose. Sets fileLastWriteCount
   to the bytes that reached the system, the stream standing after them.
   Returns 0 when all went; 0x4503 when fewer went and the stream's
   end-of-file indicator is set; 0x4505 when fewer went otherwise; 0x4101
   for a NULL file, or a NULL src with a nonzero count (fileLastWriteCount
   0). A write whose end would lie past 2 GiB - 1 is refused whole (count 0,
   errno EFBIG). May follow a FileRead on an update stream without a seek. */
OKR_API ErrCode FileWrite(File* file, const void* src, uint32_t count);

/* Moves the position of `file` by `offset` from `origin` (fileSeek*). Returns
   0; 0x4506 when the platform refuses or the new position would lie at 2 GiB
   or beyond (the position is then left where it was); 0x4101 for a NULL
   file. No bounds check against the file's size is made. */
OKR_API ErrCode FileSeek(File* file, int32_t origin, int32_t offset);

/* Stores the size of `file` in *outSize and leaves the position where it
   was. Returns 0; 0x4506 when a tell or seek fails or the file is 2 GiB or
   larger (*outSize then holds -1 when the size could not be represented);
   0x4101 for a NULL argument. */
OKR_API ErrCode FileGetSize(File* file, int32_t* outSize);

/* Loads the whole file `libPath` ("rb") into a new unlocked handle of
   exactly the file's size, owned by the caller; no terminator is added.
   *outHandle is set to NULL first. Returns 0; 0x4502 when it cannot be
   opened; 0x4506 when its size cannot be taken (2 GiB or more); the memory
   manager's last error when no handle of that size can be had (0x4603, or
   0x4601 with no current heap); 0x4503/0x4504 when the read falls short;
   0x4101 for a NULL outHandle. A directory, which Linux opens, fails at its
   size, its handle or its read, by file system. On failure no handle
   survives and no stream stays open. */
OKR_API ErrCode FileLoad(const char* libPath, Handle* outHandle);

/* Writes the whole contents of `handle` to `libPath` ("w+b": created, or cut
   to length 0). The handle stays the caller's and is unlocked on return,
   even if it was locked before. Returns 0; 0x4101 for a NULL handle; the
   memory manager's last error when it is nonzero at the call (the file is
   not touched); 0x4502 when the file cannot be opened; 0x4503/0x4505 when
   the write falls short (the file may then be empty or partly written). */
OKR_API ErrCode FileSave(const char* libPath, Handle handle);

OKR_END_DECLS

#endif
