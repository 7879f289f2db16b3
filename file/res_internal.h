// Resource manager internals shared by its source files: the directory's
// geometry (type records, entries, the walk over them), the run-time values
// kept beside the directory, and the steps several operations share.
#ifndef OKR_FILE_RES_INTERNAL_H
#define OKR_FILE_RES_INTERNAL_H

#include <okr/err.h>
#include <okr/res.h>
#include <string.h>

namespace okr_res {

constexpr uint32_t kHeaderSize = sizeof(ResFileHeader);
constexpr uint32_t kDirFixedSize = sizeof(ResDirectory);
constexpr uint32_t kTypeRecordSize = sizeof(ResTypeRecord);
constexpr uint32_t kEntrySize = sizeof(ResEntry);
constexpr uint32_t kWordSize = sizeof(uint32_t);
// The largest position or size the file layer can express.
constexpr uint64_t kMaxFilePos = 0x7FFFFFFF;

// The run-time values of one open file, kept in the directory's block after
// its dirLength bytes (at SideOffset), followed by one Handle per entry in
// walk order: the entry's loaded data.
struct ResLinks {
  Handle nextFile;      // directory handle of the file opened before this one
  File* file;           // the file's stream
  uint32_t entryTotal;  // number of entries (and of data slots that follow)
  uint32_t shrunk;      // nonzero once a resource was rewritten smaller in place
};

inline ResDirectory* DirOf(Handle dirHandle) {
  return static_cast<ResDirectory*>(dirHandle->data);
}
inline char* Bytes(ResDirectory* dir) {
  return reinterpret_cast<char*>(dir);
}

// Offset of the run-time values: dirLength raised to the alignment of a
// pointer, so they are read and written through memcpy on any build.
inline uint32_t SideOffset(uint32_t dirLength) {
  constexpr uint32_t align = alignof(ResLinks);
  return (dirLength + align - 1) & ~(align - 1);
}
// Bytes of the whole block for a directory of `dirLength` with `entryTotal`
// entries; 0 when it would not fit in 32 bits.
uint32_t BlockSizeFor(uint32_t dirLength, uint32_t entryTotal);

ResLinks GetLinks(ResDirectory* dir);
void SetLinks(ResDirectory* dir, const ResLinks& links);
Handle GetEntryData(ResDirectory* dir, uint32_t ordinal);
void SetEntryData(ResDirectory* dir, uint32_t ordinal, Handle data);

// Geometry of a directory already checked (all offsets and counts fit).
inline uint32_t* TypeCountWord(ResDirectory* dir) {
  return reinterpret_cast<uint32_t*>(Bytes(dir) + dir->typeListOffset);
}
inline ResTypeRecord* TypeAt(ResDirectory* dir, uint32_t index) {
  return reinterpret_cast<ResTypeRecord*>(Bytes(dir) + dir->typeListOffset + kWordSize +
                                          index * kTypeRecordSize);
}
inline ResEntry* EntryAt(ResDirectory* dir, const ResTypeRecord* type, uint32_t index) {
  return reinterpret_cast<ResEntry*>(Bytes(dir) + dir->typeListOffset + type->entryListOffset +
                                     index * kEntrySize);
}

// A position in the walk over every entry: type records in order, the
// entries of each in order. `ordinal` counts entries from 0.
struct Cursor {
  ResDirectory* dir;
  uint32_t typeIndex;
  uint32_t entryIndex;
  uint32_t ordinal;
  ResTypeRecord* type;
  ResEntry* entry;  // NULL once the walk is over
};
Cursor FirstEntry(ResDirectory* dir);
void NextEntry(Cursor* cursor);

// The directory handle of the open file on `file`, searched from
// resCurrentFile; NULL when there is none.
Handle FindFileByStream(File* file);
// Finds the entry whose loaded data is `resHandle` in every open file.
bool FindLoaded(Handle resHandle, Cursor* outCursor, Handle* outDirHandle);
// The first type record of `typeId`, or NULL.
ResTypeRecord* FindType(ResDirectory* dir, uint32_t typeId);
// Finds resource `index` of the first type record of `typeId`.
bool FindIndexed(ResDirectory* dir, uint32_t typeId, uint32_t index, Cursor* outCursor);

// Seeks the file's stream to data offset `dataOffset` (for `size` bytes);
// 0x4506 when the range reaches 2 GiB.
ErrCode SeekData(ResDirectory* dir, uint32_t dataOffset, uint32_t size);

// Checks the native directory in `dirHandle`, read from where `header` (the
// one at file offset 0) places it, and the places of its resources against
// a file of `fileSize` bytes. 0 or 0x4585; 0x4603 when the check's scratch
// memory cannot be had.
ErrCode CheckDirectory(Handle dirHandle, const ResFileHeader& header, uint32_t fileSize);
// Converts a directory of `length` bytes that is not native; never reads
// outside those bytes.
ErrCode ConvertDirectoryWithin(ResDirectory* dir, uint32_t length);

// Gives up a resource's loaded data: clears memFlagResource and disposes.
void DisposeResourceData(Handle data);

// Leaves `code` in resLastError and returns it.
inline ErrCode Report(ErrCode code) {
  resLastError = code;
  return code;
}

}  // namespace okr_res

#endif
