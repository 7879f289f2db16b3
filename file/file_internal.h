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

// Flushes the stream and cuts its file to `size` bytes. A stream without a
// descriptor is left as it is. Returns 0; 0x4505 when the flush or the cut
// fails or `size` is negative; 0x4101 for NULL.
ErrCode FileTruncate(File* file, int32_t size);

#endif
