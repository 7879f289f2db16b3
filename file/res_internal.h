// Resource manager internals shared by its source files: the directory's
// geometry (type records, entries, the walk over them), the run-time values
// kept in the directory's block, the type index, what the file on disk
// holds, and the steps several operations share.
//
// The block of an open file's directory handle:
//
//   [0, dirLength)          the directory, native byte order, in its
//                           working layout (below)
//   SideOffset(dirLength)   ResLinks: the file's run-time values
//   ... free room ...       at least kScratchPerCell bytes per cell: the
//                           compaction's scratch
//   [capacity - cells * sizeof(Handle), capacity)
//                           one Handle per cell, the loaded data of the
//                           entry there; cell k's at
//                           capacity - (k + 1) * sizeof(Handle)
//
// Working layout: the type list right after the fixed part, with room for
// more records up to `entryBase`; from there the entry arrays in type
// order, on a grid of 24-byte cells, each array followed by room for more
// entries of its type (up to the next array, the last one up to
// dirLength), and the first one possibly preceded by room in front of it.
// A file is brought into this layout when it opens (a file in the
// canonical layout, which has no room anywhere, already is). Adding an
// entry takes its type's room; when there is none, the array slides down
// over the spare room before it (room in front, or what the type before
// has beyond as much again as its entries) if that is at least half its
// length, or else gets as much room again as it has entries: by moving the
// later arrays up when they hold at most four times as many cells, else by
// laying out afresh the smallest aligned run of 2, 4, 8... types around it
// whose cells have the room below a limit, or failing that every array on
// a grid of twice the entries. A run laid out shares its spare cells among
// its types in proportion to their entries (the limits are those of a
// packed memory array), so a run of additions in any order of types of
// like sizes moves a few dozen cells per addition on average, a number that
// grows with the square of the logarithm of the types; one addition may
// still lay out every array. The runs are cut by types, not cells: a type
// far larger than the small ones growing beside it moves with each layout
// of a run that holds both, so 127 types of one given 3 more each, type
// after type, before a type of 2,048 move 81 cells per addition (49 before
// one of 1,024; 704 when every array was laid out for each type).
// Once the cells pass twice what the types' growth accounts for (removals
// left them), an addition first moves every array down, each keeping the
// room it keeps for growth. Removing an entry
// moves the entries on its shorter side: the ones after it down (its
// type's last cell becomes room), or the ones before it up (the array
// starts a cell later; its first cell becomes room before it). The data
// slots move with their cells. The directory stored in a file is always
// the canonical form, written piece by piece.
//
// The type index (restypes.cpp), in a block of its own that ResLinks
// names, finds the first type record of a type id without walking the
// type list.
//
// Invariants (LayoutHolds checks them): the type list at kDirFixedSize ends
// at or before entryBase; the entry arrays lie in type order on the grid,
// each inside dirLength and apart from the others; every cell is an entry,
// the room of the type before it, or room in front of the first array
// (none without types), and the slots of room are empty; entryTotal counts
// the entries; the block holds the links, the scratch and a slot per cell;
// every resource with bytes lies inside the data area; the type index
// holds each type id of the list once, with the serial number of its first
// record, and is at most half full; the serial numbers rise along the type
// list.
#ifndef OKR_FILE_RES_INTERNAL_H
#define OKR_FILE_RES_INTERNAL_H

#include <okr/err.h>
#include <okr/res.h>
#include <string.h>

#include "core/steps.h"

namespace okr_res {

constexpr uint32_t kHeaderSize = sizeof(ResFileHeader);
constexpr uint32_t kDirFixedSize = sizeof(ResDirectory);
constexpr uint32_t kTypeRecordSize = sizeof(ResTypeRecord);
constexpr uint32_t kEntrySize = sizeof(ResEntry);
constexpr uint32_t kWordSize = sizeof(uint32_t);
// The compaction's scratch: one entry position per cell (at least one per
// entry).
constexpr uint32_t kScratchPerCell = sizeof(uint32_t);
// The largest position or size the file layer can express.
constexpr uint64_t kMaxFilePos = 0x7FFFFFFF;

// A range of file offsets [begin, end).
struct Range {
  uint64_t begin;
  uint64_t end;
};

// What the file on disk holds, as far as this manager read or wrote it: the
// header at offset 0 points at the stored directory, whose resources lie in
// at most two spans. No write lands on these ranges, except the header
// itself, so that an interruption leaves a file whose stored directory
// still describes valid data.
struct ResStored {
  uint32_t dirOffset;
  uint32_t dirLength;
  uint32_t spanBegin[2];  // file offsets; an empty span has begin == end
  uint32_t spanEnd[2];
  unsigned char header[kHeaderSize];  // the bytes at offset 0
};

// The directory the last completed flush stored (or the one found at
// opening), which the file returns to when a flush only rewrote resources in
// place, and the length of the file it left. It is lost once an append may
// have written over it.
struct ResHome {
  uint32_t dirOffset;
  uint32_t dirLength;
  uint32_t fileEnd;
  uint32_t lost;
  unsigned char header[kHeaderSize];
};

// Rewrites in place waiting for the flush: their bytes lie in the staging
// region, beyond the data area and beyond everything the stored directory
// names; `table` maps a resource's data offset to the file offset of its
// staged bytes (resstage.cpp).
struct ResStaging {
  Handle table;    // StagedRecord[capacity], or NULL for a read-only file
  uint32_t count;  // records in the table, stale ones included
  uint32_t begin;  // the staging region [begin, end); empty when equal
  uint32_t end;
  uint32_t floor;  // staging starts no lower: room made for appends
};

// The run-time values of one open file, kept in the directory's block.
struct ResLinks {
  Handle nextFile;      // directory handle of the file opened before this one
  File* file;           // the file's stream
  uint32_t entryTotal;  // number of entries
  uint32_t entryBase;   // offset of cell 0 from the directory's start
  uint32_t capacity;    // bytes of the whole block
  uint32_t shrunk;      // nonzero once a resource was rewritten smaller since
                        // a directory was last stored
  uint32_t unsynced;    // nonzero while written data may not be on the disk yet
  ErrCode wedged;       // nonzero once the header could not be put back: no
                        // more writes, the file's state is not known
  Handle typeIndex;     // the type index's block (restypes.cpp)
  uint32_t typeMask;    // the type index's slots - 1
  uint32_t typeSeed;    // mixed into the type index's hash
  uint32_t typeSerial;  // the serial number the next type record takes
  uint32_t typeTwice;   // type records whose id has a record before them
  ResStored stored;
  ResHome home;
  ResStaging staging;
};

inline ResDirectory* DirOf(Handle dirHandle) {
  return static_cast<ResDirectory*>(dirHandle->data);
}
inline char* Bytes(ResDirectory* dir) {
  return reinterpret_cast<char*>(dir);
}

// Offset of the run-time values: dirLength raised to the alignment of a
// pointer (the block's data is at least pointer-aligned).
inline uint32_t SideOffset(uint32_t dirLength) {
  constexpr uint32_t align = alignof(ResLinks);
  return (dirLength + align - 1) & ~(align - 1);
}
inline ResLinks* LinksOf(ResDirectory* dir) {
  return reinterpret_cast<ResLinks*>(Bytes(dir) + SideOffset(dir->header.dirLength));
}
inline uint32_t CellCount(ResDirectory* dir) {
  return (dir->header.dirLength - LinksOf(dir)->entryBase) / kEntrySize;
}
inline uint32_t CellOf(ResDirectory* dir, const ResEntry* entry) {
  return static_cast<uint32_t>(reinterpret_cast<const char*>(entry) - Bytes(dir) -
                               LinksOf(dir)->entryBase) /
         kEntrySize;
}
inline Handle* SlotOf(ResDirectory* dir, uint32_t cell) {
  return reinterpret_cast<Handle*>(Bytes(dir) + LinksOf(dir)->capacity) - (cell + 1);
}
inline Handle GetEntryDataAt(ResDirectory* dir, uint32_t cell) {
  return *SlotOf(dir, cell);
}
inline Handle GetEntryData(ResDirectory* dir, const ResEntry* entry) {
  return GetEntryDataAt(dir, CellOf(dir, entry));
}
inline void SetEntryData(ResDirectory* dir, const ResEntry* entry, Handle data) {
  *SlotOf(dir, CellOf(dir, entry)) = data;
}

// Bytes of a block for a directory of `dirLength` with `cells` cells and no
// spare room; 0 when it would not fit in 32 bits.
uint32_t BlockSizeFor(uint32_t dirLength, uint32_t cells);
// Makes room in the block for the directory to grow by `dirBytes` and for
// `cells` more cells (slots and scratch), growing the block when needed.
// 0, or the memory manager's code (0x4603 also for a directory that would
// pass the largest block; nothing changes). The directory may move.
ErrCode ReserveRoom(Handle dirHandle, uint64_t dirBytes, uint32_t cells);
// Sets the directory's dirLength and moves the run-time values to their new
// place. Room must be reserved.
void SetDirLength(ResDirectory* dir, uint32_t dirLength);
// Moves `count` data slots from cell `from` on to cell `to` on.
void MoveSlots(ResDirectory* dir, uint32_t from, uint32_t to, uint32_t count);
// The compaction's scratch: room for one uint32_t per cell.
uint32_t* ScratchOf(ResDirectory* dir);
// Length of the directory's canonical form, the one stored in the file.
uint32_t StoredLength(ResDirectory* dir);

// Geometry of a directory already checked (all offsets and counts fit).
inline uint32_t* TypeCountWord(ResDirectory* dir) {
  return reinterpret_cast<uint32_t*>(Bytes(dir) + dir->typeListOffset);
}
inline ResTypeRecord* TypeAt(ResDirectory* dir, uint32_t index) {
  OKR_STEP(stepTypeLookup, 1);
  return reinterpret_cast<ResTypeRecord*>(Bytes(dir) + dir->typeListOffset + kWordSize +
                                          index * kTypeRecordSize);
}
inline ResEntry* EntryAt(ResDirectory* dir, const ResTypeRecord* type, uint32_t index) {
  return reinterpret_cast<ResEntry*>(Bytes(dir) + dir->typeListOffset + type->entryListOffset +
                                     index * kEntrySize);
}

// A position in the walk over every entry: type records in order, the
// entries of each in order.
struct Cursor {
  ResDirectory* dir;
  uint32_t typeIndex;
  uint32_t entryIndex;
  ResTypeRecord* type;
  ResEntry* entry;  // NULL once the walk is over
};
Cursor FirstEntry(ResDirectory* dir);
void NextEntry(Cursor* cursor);
// The cursor of the entry in `cell`, found by a binary search of the type
// records (their arrays lie in type order).
Cursor CursorAtCell(ResDirectory* dir, uint32_t cell);
// True when the working layout's invariants (above) hold for an open
// file's directory; for the tests, after every operation they make.
bool LayoutHolds(ResDirectory* dir);

// True when `dirHandle` is the directory handle of an open file: only such
// a block holds a directory with its run-time values.
bool IsOpenDirectory(Handle dirHandle);
// The directory handle of the open file on `file`, searched from
// resCurrentFile; NULL when there is none.
Handle FindFileByStream(File* file);
// Finds the entry whose loaded data is `resHandle` in every open file. A
// handle is the data of one entry at most, so the entry found last and the
// ones on either side are looked at first.
bool FindLoaded(Handle resHandle, Cursor* outCursor, Handle* outDirHandle);
// Tells FindLoaded where a handle was just loaded or added, so that the
// calls that follow on it find it at once.
void NoteLoaded(Handle dirHandle, uint32_t cell);
// The first type record of `typeId` in an open file's directory, or NULL;
// found through the type index.
ResTypeRecord* FindType(ResDirectory* dir, uint32_t typeId);
// Finds resource `index` of the first type record of `typeId`.
bool FindIndexed(ResDirectory* dir, uint32_t typeId, uint32_t index, Cursor* outCursor);

// ---- The type index (restypes.cpp) ------------------------------------------

// Builds the type index of the directory in `dirHandle` in a new block and
// names it in the links. 0, or 0x4603 with nothing allocated. The
// directory may move.
ErrCode OpenTypeIndex(Handle dirHandle);
// Makes the type index ready to take one more type, growing it when
// needed. 0, or 0x4603 with the index as it was. The directory may move.
ErrCode ReserveTypeIndex(Handle dirHandle);
// Position of the first type record of `typeId`, or typeCount when there
// is none.
uint32_t LookUpType(ResDirectory* dir, uint32_t typeId);
// Enters type record `index`, the last one, when its id has no record yet.
// Room must be reserved.
void IndexType(ResDirectory* dir, uint32_t index);
// Drops type record `index`, which is about to be taken out of the type
// list: the records after it move down a place, and another record of
// its id, if any, becomes the first.
void UnindexType(ResDirectory* dir, uint32_t index);
// Disposes of the type index.
void CloseTypeIndex(ResDirectory* dir);
// True when the type index agrees with the type list (see the invariants).
bool TypeIndexHolds(ResDirectory* dir);

// Seeks the file's stream to data offset `dataOffset` (for `size` bytes);
// 0x4506 when the range reaches 2 GiB. `outPos`, unless NULL, receives the
// file position, for FileWriteHere.
ErrCode SeekData(ResDirectory* dir, uint32_t dataOffset, uint32_t size, int32_t* outPos = nullptr);
// Seeks the file's stream to file offset `place` (for `size` bytes); 0x4506
// when the range reaches 2 GiB. `outPos` as for SeekData.
ErrCode SeekPlace(ResDirectory* dir, uint64_t place, uint32_t size, int32_t* outPos = nullptr);

// Checks the native directory in `dirHandle`, read from where `header` (the
// one at file offset 0) places it, and the places of its resources against
// a file of `fileSize` bytes. 0 or 0x4585; 0x4603 when the check's scratch
// memory cannot be had.
ErrCode CheckDirectory(Handle dirHandle, const ResFileHeader& header, uint32_t fileSize);
// Converts a directory of `length` bytes that is not native; never reads
// outside those bytes.
ErrCode ConvertDirectoryWithin(ResDirectory* dir, uint32_t length);

// ---- What the file on disk holds (resstore.cpp) ----------------------------

// Makes the data written so far durable (before anything points at it).
// 0, or 0x4505.
ErrCode SyncData(ResLinks* links);
// Records, at opening, the stored directory that `header` (converted) points
// at, whose data area is the directory's own, the raw header bytes, and the
// file's length; that directory is also the home.
void InitStored(ResDirectory* dir, const ResFileHeader& header, const void* rawHeader,
                uint32_t fileSize);
// True when [begin, end) touches the header or what the stored directory
// refers to.
bool Protected(ResDirectory* dir, Range range);
// The first file offset from which `bytes` bytes lie beyond all the stored
// directory refers to, all live and staged data, and not below `atLeast`;
// 0x4506 in *outErr when that would reach 2 GiB.
uint32_t FreeTail(ResDirectory* dir, uint64_t atLeast, uint64_t bytes, ErrCode* outErr);
// Copies `size` bytes of the file from `src` to `dst`, front to back in
// resCopyChunkSize chunks; the last `lastPiece` bytes go in one chunk of
// their own. `src` is above `dst` or the ranges lie apart.
ErrCode CopyRange(File* file, uint32_t src, uint32_t dst, uint32_t size, uint32_t lastPiece);
// Makes the data area's end safe to append `bytes` to: the end is moved
// past any data the stored directory refers to, and when the bytes would
// land on the stored directory or on staged bytes, those are first copied
// beyond, with room to spare. 0 or the failing code.
ErrCode MakeAppendRoom(ResDirectory* dir, uint32_t bytes);
// Stores the directory in memory at `at` as one whose data area is
// `dataLength` bytes long, with the data it refers to lying in `spans`:
// written, made durable with all data written before, then the header
// pointed at it (in the header's byte order). The stored copy carries
// "written" and never "changed".
ErrCode Checkpoint(ResDirectory* dir, uint32_t at, uint32_t dataLength, const Range spans[2]);
// Writes the directory at its dirOffset and points the header at it, in the
// machine's byte order, storing it elsewhere first when that place is still
// in use; then cuts the file after it, the data area and `keepEnd`. It
// becomes the home. Data written before is made durable first.
ErrCode StoreDirectory(ResDirectory* dir, uint32_t keepEnd);
// Points the header back at the home directory, which must describe the
// data area in memory (only resources rewritten in place, same size, since)
// and not be lost, and cuts the file to the home's length. 0 or the failing
// code.
ErrCode ReturnHome(ResDirectory* dir);
// True when the header points elsewhere than at the home directory.
bool AwayFromHome(ResDirectory* dir);

// ---- Rewrites in place waiting for the flush (resstage.cpp) -----------------

// Gives the open file's staged table room for `entries` resources (a
// table whose records stay within half of it). 0 or 0x4603 (the table as it
// was). The directory may move.
ErrCode ReserveStaging(Handle dirHandle, uint32_t entries);
// Frees the staged table.
void DisposeStaging(ResDirectory* dir);
// The file offset of the bytes staged for `entry`, or 0 when none wait.
uint32_t StagedPlace(ResDirectory* dir, const ResEntry* entry);
// The file offset where `entry`'s bytes lie now: staged, else at its place.
uint64_t DataPlace(ResDirectory* dir, const ResEntry* entry);
// The file offset at which `bytes` more bytes are staged, the staging
// region starting beyond everything in use when empty. 0x4506 in *outErr
// when that would reach 2 GiB; file layer codes.
uint32_t StagePlace(ResDirectory* dir, uint32_t bytes, ErrCode* outErr);
// Records that the bytes of `entry`, at its place, now lie staged at
// `place`.
void Staged(ResDirectory* dir, const ResEntry* entry, uint32_t place);
// True when rewrites in place wait for the flush.
bool HasStaged(ResDirectory* dir);
// Forgets every staged rewrite: they reached their places, or the entries
// name where they lie. The staging region is left to the stored directory.
void ClearStaged(ResDirectory* dir);
// Moves the staged bytes beyond `atLeast` (and beyond everything in use),
// with as much room again in front of them. 0 or the failing code.
ErrCode RelocateStaging(ResDirectory* dir, uint64_t atLeast);
// Brings every staged rewrite to its place: a directory that names the
// staged bytes is stored, then they are copied to their places. 0 or the
// failing code; on failure they still wait.
ErrCode SettleInPlace(ResDirectory* dir);

// ---- Shared steps -----------------------------------------------------------

// Writes back the changed resource at `c` (see ResWriteResource). Leaves
// the code in resLastError.
ErrCode WriteEntry(ResDirectory* dir, const Cursor& c);
// Records that `size` bytes of `entry` now lie at data offset `offset`:
// the entry is no longer changed; the file is, when the entry grew.
void Written(ResDirectory* dir, ResEntry* entry, uint32_t offset, uint32_t size);
// Releases the loaded data of the entry at `c` (see ResReleaseResource).
ErrCode ReleaseAt(const Cursor& c);
// Gives up a resource's loaded data: clears memFlagResource and disposes.
void DisposeResourceData(Handle data);

// Leaves `code` in resLastError and returns it.
inline ErrCode Report(ErrCode code) {
  resLastError = code;
  return code;
}

}  // namespace okr_res

#endif
