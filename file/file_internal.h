// File layer operations for the library's own use, beyond the public ones:
// making written bytes durable, cutting a file to length, and seeking and
// writing without questions the library can answer itself.
#ifndef OKR_FILE_FILE_INTERNAL_H
#define OKR_FILE_FILE_INTERNAL_H

#include <okr/file.h>

// Pushes the stream's buffered bytes to the system (fflush) and asks the
// system to put them on the disk (fsync; _commit on Windows). A stream
// without a descriptor (one in memory) has nothing more to do after the
// flush. Returns 0; 0x4505 when either step fails; 0x4101 for NULL.
ErrCode FileSync(File* file);

// Puts the stream at byte `pos` (0 to INT32_MAX) from the start, as
// FileSeek does, but seeks only when ftell puts it elsewhere or it has met
// the end of the file (glibc then reads nothing more until the indicator is
// cleared). A C library's seek goes to the system even to a place in its
// buffer: glibc's to re-sync its descriptor, msvcrt's after dropping the
// buffer, which the next read fills again. So resources read one after
// another pay no seek; msvcrt's ftell still asks the system, but the buffer
// is kept. The stream must not have been written since its last flush or
// seek: the layer flushes every write that succeeds (one that failed may
// leave bytes in the buffer). Returns FileSeek's codes.
ErrCode FileSeekTo(File* file, int32_t pos);

// FileWrite for a stream that FileSeekTo has just put at `pos`: the same
// write, flush and codes, without asking the stream where it stands, which
// after the flush of the write before costs glibc and msvcrt a system call
// (one write in three, when resources are written back one by one).
ErrCode FileWriteHere(File* file, int32_t pos, const void* src, uint32_t count);

// Flushes the stream and cuts its file to `size` bytes. A stream without a
// descriptor is left as it is. Returns 0; 0x4505 when the flush or the cut
// fails or `size` is negative; 0x4101 for NULL.
ErrCode FileTruncate(File* file, int32_t size);

#endif
