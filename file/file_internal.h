// File layer operations for the library's own use, beyond the public ones:
// making written bytes durable and cutting a file to length.
#ifndef OKR_FILE_FILE_INTERNAL_H
#define OKR_FILE_FILE_INTERNAL_H

#include <okr/file.h>

// Pushes the stream's buffered bytes to the system (fflush) and asks the
// system to put them on the disk (fsync; _commit on Windows). A stream
// without a descriptor (one in memory) has nothing more to do after the
// flush. Returns 0; 0x4505 when either step fails; 0x4101 for NULL.
ErrCode FileSync(File* file);

// Puts the stream at byte `pos` (0 to INT32_MAX) from the start, as
// FileSeek does, but seeks only when it stands elsewhere or has met the end
// of the file: a C library's seek goes to the system even to a place in its
// buffer (glibc to re-sync its descriptor, msvcrt's drops the buffer), and
// resources read one after another would pay a system call each. The
// stream must not have been written since its last flush or seek (the
// layer flushes every write). Returns FileSeek's codes.
ErrCode FileSeekTo(File* file, int32_t pos);

// Flushes the stream and cuts its file to `size` bytes. A stream without a
// descriptor is left as it is. Returns 0; 0x4505 when the flush or the cut
// fails or `size` is negative; 0x4101 for NULL.
ErrCode FileTruncate(File* file, int32_t size);

#endif
