/* okr resource manager: many typed blocks of data kept in one resource file.

   A resource file holds a 32-byte header, a data area with the resources'
   bytes, and a directory that lists the resources grouped by type. While a
   file is open its whole directory lives in one relocatable handle (the
   file's "directory handle"), converted to the machine's byte order; open
   files form a chain, newest first. Files are named by their stream, loaded
   resources by the handle of their data (flagged memFlagResource, so only
   this manager disposes of it).

   Heaps. The manager allocates in the current heap (a file's directory and
   its tables when it opens, resource data when it is loaded) and disposes
   of blocks there too, which only works for blocks of that heap: keep the
   heap that was current when a file was opened selected for every call on
   the file and on its resources, closing included.

   Run-time words. The directory's `nextFile` and `file` words and each
   entry's `dataHandle` word are 32 bits wide, too narrow for a handle or a
   stream on 64-bit builds. The manager therefore keeps these values beside
   the directory, in the same block after its `dirLength` bytes, on every
   build; the 32-bit slots themselves read 0 while a file is open and are
   written as 0. Use ResFindEntry / ResGetInfo to reach a resource's data.

   Layout in memory. While a file is open its directory keeps room after
   each type's entries (and after the type list, and before the first
   type's entries), so that adding resources moves a few dozen entries per
   addition on average in any order of types of like sizes (more beside a
   type far larger than the ones growing) and removing them costs linear
   time from either end of a type (the room may reach as many entries again
   as the directory holds, more after removals);
   `dirLength` in memory counts that room. Beside the directory the manager
   keeps an index of its type ids, in a block of the current heap of its
   own, so that no call that names a type walks the type list. The file
   always receives the canonical directory: the type list after the fixed
   part, each type's entries right after the last's.

   Failure safety. At every moment of an edit session (a failing call, a
   full disk, the program stopped, the power lost) the file opens, and every
   resource holds its content as of the last completed flush or content
   written back since, whole. A failed operation reports its code and is
   never retried from damaged bytes. How:
   - The header at offset 0 points at the directory stored last, and
     nothing is written over that directory or the data it names while it
     is the one pointed at. A new directory is written elsewhere and made
     durable together with the data it names (fflush, then fsync; _commit on
     Windows); only then is the header pointed at it.
   - Grown data is appended where no stored directory points (a stored
     directory in the way is first copied beyond). Data that keeps its
     place, rewritten at its size or smaller, is first staged beyond
     everything the file uses; the flush stores a directory that finds it
     there, copies it to its place and points the header at a directory
     that names the place: the one stored before when only contents
     changed, a new one after a shrink. Until the flush the file holds the
     old contents; loading such a resource again reads the staged bytes.
   - A compaction first copies the resources that move beyond all data in
     use and stores a directory that finds them there (staged ones where
     they were staged), then copies them to their places.
   So the file needs free disk space for the data written back or moved
   until the flush ends, when it is cut back.
   What the format forces: the header at offset 0 is the only way to the
   directory, so the eight bytes that place it (dirOffset and dirLength, at
   offset 16) must reach the disk together. They are the front of a 16-byte
   write in the file's first sector, which disks write whole; the rest of
   the header goes in a write of its own and tells a reader nothing. A file
   in the other byte order keeps its order until a directory is stored for
   good; then its version word turns while the header points at a copy of
   the directory whose place and length read the same in either order (a
   copy padded by less than 65 KiB, written once), and the word's two
   changing bytes (offsets 5 and 6, the front of a write) must land
   together.
   A header write that fails is undone by writing the previous header
   back; if that fails too, the file takes no more writes from this
   manager (the code is repeated).

   Two calls answer less than one might expect:
   - ResCompactFile called on its own stores the directory in memory along
     the way: a resource added and not yet written back is stored as an
     empty one, and one changed and not yet written back with its old data
     and its changed bit, until the next flush. ResFlushFile writes back
     first.
   - ResCloseFile answers with the result of disposing of the directory,
     not with its flush's: call ResFlushFile before ResCloseFile to learn
     whether the changes reached the file.

   Core operations: ResInit, ResStart, ResOpenNamedFile, ResOpenFile,
   ResFindFile, ResFindEntry, ResReleaseResource, ResWriteResource,
   ResWriteChanged, ResNextStored, ResCompactFile, ResFlushFile, ResCloseFile,
   ResCloseAll, ResCloseAuxFiles, ResConvertHeader, ResConvertDirectory,
   SwapBytes32.
   Additions that make the manager usable on its own (creating files, loading
   and marking resources, enumerating, adding and removing): ResCreateFile,
   ResLoadResource, ResMarkChanged, ResCountTypes, ResGetTypeId,
   ResCountResources, ResGetInfo, ResGetIndexedInfo, ResAddResource,
   ResRemoveResource, ResCheckFile.

   Unless said otherwise an operation returns an ErrCode and leaves the same
   code in resLastError. */
#ifndef OKR_RES_H
#define OKR_RES_H

#include <okr/file.h>
#include <okr/mem.h>
#include <okr/types.h>

OKR_BEGIN_DECLS

/* ---- File format (all words unsigned 32-bit, in the file's byte order) -- */

/* The header at file offset 0, and the first 32 bytes of the directory. */
typedef struct ResFileHeader {
  uint32_t headerWord0; /* carried, never byte-swapped */
  uint32_t version;     /* resVersion in the file's byte order */
  uint32_t dataStart;   /* file offset of the data area */
  uint32_t dataLength;  /* bytes in use in the data area */
  uint32_t dirOffset;   /* file offset of the directory */
  uint32_t dirLength;   /* length of the directory */
  uint32_t headerWord6; /* carried, never byte-swapped */
  uint32_t headerWord7; /* carried, never byte-swapped */
} ResFileHeader;

/* The fixed part of the directory; the type list follows at typeListOffset. */
typedef struct ResDirectory {
  ResFileHeader header;    /* the copy of the header that counts */
  uint32_t nextFile;       /* run-time word, 0 (see above) */
  uint32_t file;           /* run-time word, 0 (see above) */
  uint32_t fileFlags;      /* resFileFlag* bits; other bits are carried */
  uint32_t typeListOffset; /* from the start of the directory */
  uint32_t dirWord12;      /* carried (byte-swapped with the directory) */
} ResDirectory;

/* One type record of the type list (after its typeCount word). */
typedef struct ResTypeRecord {
  uint32_t typeId;          /* four bytes in stored order, never swapped */
  uint32_t entryCount;      /* entries of this type */
  uint32_t entryListOffset; /* from the typeCount word to the entry array */
} ResTypeRecord;

/* One resource. */
typedef struct ResEntry {
  uint32_t entryWord0; /* carried */
  uint32_t entryWord1; /* carried */
  uint32_t dataOffset; /* from dataStart */
  uint32_t dataSize;   /* bytes */
  uint32_t attributes; /* resAttrChanged; other bits are carried */
  uint32_t dataHandle; /* run-time word, 0 (see above) */
} ResEntry;

#ifdef __cplusplus
static_assert(sizeof(ResFileHeader) == 32, "resource file header is 32 bytes");
static_assert(sizeof(ResDirectory) == 52, "fixed directory part is 52 bytes");
static_assert(sizeof(ResTypeRecord) == 12, "type record is 12 bytes");
static_assert(sizeof(ResEntry) == 24, "resource entry is 24 bytes");
#else
_Static_assert(sizeof(ResFileHeader) == 32, "resource file header is 32 bytes");
_Static_assert(sizeof(ResDirectory) == 52, "fixed directory part is 52 bytes");
_Static_assert(sizeof(ResTypeRecord) == 12, "type record is 12 bytes");
_Static_assert(sizeof(ResEntry) == 24, "resource entry is 24 bytes");
#endif

/* The typeId of the four characters a, b, c, d: the word whose bytes lie
   in memory in that order, as the directory keeps them, on every machine
   (OKR_RES_TYPE('T', 'E', 'X', 'T') is "TEXT"). An integer constant
   expression, so it serves in case labels. */
#if defined(__BYTE_ORDER__) && defined(__ORDER_BIG_ENDIAN__) && \
    __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
#define OKR_RES_TYPE(a, b, c, d) OKR_RES_TYPE_WORD_(a, b, c, d)
#else
#define OKR_RES_TYPE(a, b, c, d) OKR_RES_TYPE_WORD_(d, c, b, a)
#endif
#ifdef __cplusplus
#define OKR_RES_TYPE_BYTE_(x, shift) \
  (static_cast<uint32_t>(static_cast<unsigned char>(x)) << (shift))
#else
#define OKR_RES_TYPE_BYTE_(x, shift) ((uint32_t)(unsigned char)(x) << (shift))
#endif
#define OKR_RES_TYPE_WORD_(high, b2, b1, low)                                              \
  (OKR_RES_TYPE_BYTE_(high, 24) | OKR_RES_TYPE_BYTE_(b2, 16) | OKR_RES_TYPE_BYTE_(b1, 8) | \
   OKR_RES_TYPE_BYTE_(low, 0))

enum {
  resVersion = 0x100,         /* the version word; tells the byte order */
  resFileFlagWritten = 0x10,  /* stored with every rewritten directory */
  resFileFlagChanged = 0x20,  /* compact and rewrite at the next flush */
  resFileFlagReadOnly = 0x80, /* opened through a read-only stream */
  resAttrChanged = 0x100,     /* loaded data must be written back */
  resCopyChunkSize = 2048     /* compaction moves data in such chunks */
};

/* Description of one resource (ResGetInfo, ResGetIndexedInfo). */
typedef struct ResInfo {
  uint32_t typeId;
  uint32_t index; /* position among the resources of its type */
  uint32_t dataOffset;
  uint32_t dataSize;
  uint32_t attributes;
  Handle dataHandle; /* the loaded data, or NULL */
} ResInfo;

/* ---- Module state ------------------------------------------------------ */

OKR_API extern ErrCode resLastError;  /* 0x4581 until ResInit, then the last outcome */
OKR_API extern Handle resTopFile;     /* directory handle of the newest open file */
OKR_API extern Handle resCurrentFile; /* where every search of the chain starts */
OKR_API extern File* resAuxFile1;     /* auxiliary slots, closed by ResCloseAuxFiles */
OKR_API extern File* resAuxFile2;
OKR_API extern uint32_t resStarted;     /* set by ResInit; read by nothing here */
OKR_API extern File* resLastOpenedFile; /* stream of the newest ResOpenFile */

/* ---- Byte order -------------------------------------------------------- */

/* Reverses the four bytes of *word in place. NULL is ignored. Does not touch
   resLastError. */
OKR_API void SwapBytes32(uint32_t* word);

/* Converts a header from the other byte order: version first, then
   dataStart, dataLength, dirOffset, dirLength; the other words stay.
   Returns 0; 0x4587 when version already reads resVersion (nothing changes);
   0x4106 when it reads resVersion in neither order (only version was
   swapped); 0x4101 for NULL. Does not touch resLastError. */
OKR_API ErrCode ResConvertHeader(ResFileHeader* header);

/* Converts a whole directory from the other byte order: its header copy as
   ResConvertHeader, then fileFlags, typeListOffset, dirWord12, typeCount,
   and per type entryCount, entryListOffset and its entries' words (typeId,
   dataHandle, nextFile and file stay). It first reads the header copy's
   version and dirLength words: the block must hold the 32-byte header
   copy, and the dirLength bytes that copy names once they reach the 52-byte
   fixed part. Returns 0; 0x4587 when version already reads resVersion
   (nothing changes); 0x4106 when it reads resVersion in neither order (only
   version was swapped); 0x4585 when dirLength is below the fixed part
   (nothing swapped) or an offset or count points outside dirLength (the
   walk stops there); 0x4101 for NULL. Does not touch resLastError. */
OKR_API ErrCode ResConvertDirectory(ResDirectory* dir);

/* ---- Opening and finding ----------------------------------------------- */

/* Starts the module: no open files (any that were open are forgotten),
   resLastError 0. Returns 0. Calling it is not required: the module's state
   starts out empty and every operation works without it; only resLastError
   reads 0x4581 "RES: Not Started" until it or a first operation runs.
   SysStart calls it when it is given a resource file. Call it at most once,
   before the first file is opened, since it forgets the open files. */
OKR_API ErrCode ResInit(void);

/* ResInit, then, for a non-NULL libPath, ResOpenNamedFile. *outFile is set
   to NULL first (0x4101 for a NULL outFile). */
OKR_API ErrCode ResStart(const char* libPath, File** outFile);

/* Opens the resource file `libPath` read-only ("rb", resFileFlagReadOnly).
   Returns 0 with the stream in *outFile; 0x4502 when it cannot be opened
   (*outFile untouched); any code of ResOpenFile, after which the stream
   stored in *outFile is already closed and must not be used; 0x4101 for a
   NULL outFile. */
OKR_API ErrCode ResOpenNamedFile(const char* libPath, File** outFile);

/* Opens the resource file on `file`, positioned at its start; the manager
   takes the stream over (it closes it on failure and at ResCloseFile).
   The directory is read, converted to native order and checked before
   anything is linked; `openFlags` is added to its fileFlags. Returns 0;
   0x4101 for NULL; 0x4503/0x4504/0x4506 when the header or directory cannot
   be read (a directory beyond the end gives 0x4503); 0x4106 for a version
   in neither byte order; 0x4585 for a directory whose offsets or counts do
   not fit in it or that lies inside the data area, or resources with
   bytes outside the data area or overlapping (an empty resource may lie
   anywhere); 0x4603 when memory runs short (a directory
   laid out otherwise than canonically takes a second block of its size,
   briefly; the type index takes a block of 16 to 32 bytes per type, 64 at
   least). On every failure but one the stream is closed: a stream that is
   already open as a resource file is refused with 0x4586 and left open.
   resFileFlagReadOnly in `openFlags` is for a read-only stream ("rb"): on a
   writable one, the close of a file that carries "written" still compacts
   it and stores its directory with that bit, and every later opening of
   the file then refuses write-backs (0x4509). */
OKR_API ErrCode ResOpenFile(File* file, uint32_t openFlags);

/* The directory handle of the open file on `file`, or NULL with 0x4582 in
   resLastError. Success leaves resLastError alone. */
OKR_API Handle ResFindFile(File* file);

/* The entry whose loaded data is `resHandle`, searched newest file first.
   On success the given outs receive the directory's current address, the
   entry's type record and the directory handle, and resLastError is 0; the
   addresses are valid until the next allocation. NULL with 0x4583 when no
   entry holds it; NULL with resLastError unchanged for a NULL resHandle. */
OKR_API ResEntry* ResFindEntry(Handle resHandle, ResDirectory** outDir, ResTypeRecord** outType,
                               Handle* outDirHandle);

/* The entry stored at data offset `fromOffset`, else the one with the
   nearest greater offset (first in directory order among equals), else
   NULL (also for a NULL dir). `dir` is a directory in native order whose
   offsets and counts fit in it: an open file's (as ResFindEntry gives it)
   or one that ResConvertDirectory accepted. Does not touch resLastError. */
OKR_API ResEntry* ResNextStored(ResDirectory* dir, uint32_t fromOffset);

/* ---- Writing back ------------------------------------------------------ */

/* Disposes of a resource's loaded data. Returns 0; 0x4583 for a handle no
   entry holds; 0x4584 when the resource is changed (nothing released). */
OKR_API ErrCode ResReleaseResource(Handle resHandle);

/* Writes a changed resource's data back: appended to the data area when it
   grew (the file is then marked changed; when the stored directory lies
   there, it is first copied beyond); else staged beyond everything the file
   uses, to reach its place at the next flush (see above). Either way the
   entry names its new place and size at once. The handle's lock state is
   kept. Returns 0 (also when the resource is not changed, or for a NULL
   handle); 0x4583; 0x4509 for a read-only file (the resource stays
   changed); the file layer's seek/read/write codes (the entry then keeps
   its old place, size and changed bit); 0x4506 when the data area or the
   staged data would reach 2 GiB. */
OKR_API ErrCode ResWriteResource(Handle resHandle);

/* Writes back every changed resource of the file whose directory handle is
   `dirHandle`, in directory order, stopping at the first failure; with
   `releaseAll` nonzero also releases every loaded resource it passes.
   Resources that grew are appended back to back, and those that keep their
   place staged back to back, several in one write; a resource takes its
   new place only once its write succeeded. The outcome
   is left in resLastError (0x4101 for a NULL handle; 0x4582 for one that
   is no open file's directory). */
OKR_API void ResWriteChanged(Handle dirHandle, int releaseAll);

/* Packs the data area of a file marked changed so that its resources lie one
   after the other from data offset 0, in the order they lay; then
   dataLength is their sum and dirOffset follows the data (the directory
   itself is written by the flush). The resources that move are copied,
   packed, beyond all data in use, a directory that finds them there (and
   staged rewrites where they were staged) is stored, and they are copied
   to their places, front to back in resCopyChunkSize chunks (the last
   chunk read is the end of the last resource moved); it allocates no
   memory. Returns 0 (at once when the file is not marked changed); the
   first failing file operation's code, after which every resource is still
   found whole, in memory and in the file; 0x4101 for NULL; 0x4582 for a
   handle that is no open file's directory. */
OKR_API ErrCode ResCompactFile(Handle dirHandle);

/* Writes back changed resources; then, if the file is marked changed,
   compacts it, marks it written instead of changed and stores the
   directory behind the data: the directory written (first beyond, when its
   place still holds the stored one) and made durable, then the header
   pointed at it; the file is cut after it. Otherwise staged rewrites reach
   their places (see above): after a resource shrank, the directory is
   stored at its place and the file marked written; else the header points
   back at the directory stored before and the file is cut to the length it
   had then. Returns 0; 0x4582 for a stream that is not open; the first
   failing step's code (0x4509, file layer codes), the file then still
   holding what it held before or what was written; a directory that was
   not stored leaves the file marked changed, or the shrink to be stored. */
OKR_API ErrCode ResFlushFile(File* file);

/* Flushes and closes the file on `file` and forgets it. A file that carries
   resFileFlagWritten or resFileFlagChanged (or had a resource shrunk in
   place) first has every loaded resource released, then is compacted and
   gets its directory rewritten. Whatever the flush reports, the stream is
   closed, the file unlinked and every loaded resource still held disposed
   of. Returns the code of disposing of the directory handle (0), not the
   flush's: ResFlushFile first tells whether the changes reached the file;
   0x4582 for a stream that is not open (nothing changes). */
OKR_API ErrCode ResCloseFile(File* file);

/* Closes every open file, newest first, stopping at the first close that
   fails; the outcome is left in resLastError. */
OKR_API void ResCloseAll(void);

/* Closes the streams in resAuxFile1 and resAuxFile2 and empties the slots.
   Returns 0; does not touch resLastError. */
OKR_API ErrCode ResCloseAuxFiles(void);

/* ---- Additions: creating, loading, enumerating, editing ---------------- */

/* Creates (or cuts to length 0) the file `libPath` as an empty native
   resource file and opens it read-write; the stream goes to *outFile
   (NULL first). Returns 0; 0x4502; the file layer's write codes; any code
   of ResOpenFile; 0x4101 for a NULL outFile. */
OKR_API ErrCode ResCreateFile(const char* libPath, File** outFile);

/* Loads resource `index` (from 0) of type `typeId` in the open file `file`
   into a new handle flagged memFlagResource and owned by the manager; a
   resource already loaded gives its existing handle. *outHandle is set to
   NULL first. Returns 0; 0x4582; 0x4583 for no such resource; 0x4603; the
   file layer's codes (nothing stays allocated); 0x4101 for a NULL outHandle. */
OKR_API ErrCode ResLoadResource(File* file, uint32_t typeId, uint32_t index, Handle* outHandle);

/* Marks a loaded resource changed, so that its data is written back. Resize
   the handle freely before writing back. Returns 0; 0x4583. */
OKR_API ErrCode ResMarkChanged(Handle resHandle);

/* Number of type records of the open file. Returns 0; 0x4582; 0x4101. */
OKR_API ErrCode ResCountTypes(File* file, uint32_t* outCount);

/* The typeId of type record `typeIndex`. Returns 0; 0x4582; 0x4108 for an
   index past the end; 0x4101. */
OKR_API ErrCode ResGetTypeId(File* file, uint32_t typeIndex, uint32_t* outTypeId);

/* Number of resources of type `typeId` (0 when there is no such type; of
   its first type record when a foreign file holds several).
   Returns 0; 0x4582; 0x4101. */
OKR_API ErrCode ResCountResources(File* file, uint32_t typeId, uint32_t* outCount);

/* Describes the loaded resource `resHandle`. Returns 0; 0x4583; 0x4101. */
OKR_API ErrCode ResGetInfo(Handle resHandle, ResInfo* out);

/* Describes resource `index` of type `typeId`. Returns 0; 0x4582; 0x4583;
   0x4101. */
OKR_API ErrCode ResGetIndexedInfo(File* file, uint32_t typeId, uint32_t index, ResInfo* out);

/* Adds a resource of type `typeId` (a new type record when needed) as the
   last of its type, taking `dataHandle` over as its loaded data (it gets
   memFlagResource) and marking it and the file changed; its data reaches
   the file at the next write-back. The directory grows (and the type index
   with a new type), and is rewritten as a whole after the compacted data
   at the next flush. Returns 0; 0x4101 for NULL; 0x4582; 0x4509 for a
   read-only file; 0x4586 for a handle that is already some resource's data
   (only a handle that carries memFlagResource is looked for); 0x4603
   (nothing changes). */
OKR_API ErrCode ResAddResource(File* file, uint32_t typeId, Handle dataHandle);

/* Removes the resource whose loaded data is `resHandle` from its file and
   disposes of the data; the later resources of the type move down one
   index (in memory the entries on the shorter side of it move, so a type
   empties as fast from its first resource as from its last), and a type
   left without resources disappears (the type records after it move down
   a place). The file is marked changed. Returns 0; 0x4583; 0x4509 for a
   read-only file; 0x4603 (nothing changes). */
OKR_API ErrCode ResRemoveResource(Handle resHandle);

/* ---- Checking a file ---------------------------------------------------- */

/* The kinds of ResFinding. Problems make the library refuse the file (at
   ResOpenFile, with the code named); notes remark on a file it accepts.
   Unless a kind says otherwise, `offset` and `size` are the stored words
   that place the piece concerned: file offsets for the header, the
   directory and the data area; offsets from the start of the type list
   (entryListOffset) for entry arrays; offsets from the start of the data
   area (dataOffset) for resources. `typeId` and `index` name the type and
   the resource (its index among its type's), or for an entry array the
   type and its type record's index; `other*` name what a piece overlaps. */
enum {
  resCheckShortFile = 1,      /* 0x4503; size: the file's, under 32 bytes */
  resCheckVersion = 2,        /* 0x4106; value: the version word at 4 */
  resCheckDirTooShort = 3,    /* 0x4585; the directory, under 52 bytes */
  resCheckDirPastEnd = 4,     /* 0x4503; the directory; value: file size */
  resCheckCopyVersion = 5,    /* 0x4106; the directory; value: its copy's
                                 version word */
  resCheckCopyLength = 6,     /* 0x4585; the directory; value: the length its
                                 copy of the header gives */
  resCheckDirWalk = 7,        /* 0x4585; the directory, of the other byte
                                 order, whose offsets or counts lead outside
                                 it (converting it stopped there) */
  resCheckDataInHeader = 8,   /* 0x4585; the data area, starting inside the
                                 header */
  resCheckDataPastEnd = 9,    /* 0x4585; the data area; value: file size */
  resCheckDirInData = 10,     /* 0x4585; the directory; other: the data area */
  resCheckTypeList = 11,      /* 0x4585; offset: typeListOffset, outside the
                                 directory (value: dirLength), over its fixed
                                 part or off a word */
  resCheckTypeRecords = 12,   /* 0x4585; offset: typeListOffset; index: the
                                 type count, whose records pass dirLength
                                 (value) */
  resCheckEntryArray = 13,    /* 0x4585; an entry array (size: its entry
                                 count) over the type list, off a word or
                                 past dirLength (value) */
  resCheckEntryOverlap = 14,  /* 0x4585; an entry array; other: the array it
                                 overlaps (sizes: entry counts) */
  resCheckOutsideData = 15,   /* 0x4585; a resource with bytes; value:
                                 dataLength */
  resCheckOverlap = 16,       /* 0x4585; a resource; other: the resource it
                                 overlaps */
  resCheckNotes = 0x100,      /* kinds from here on are notes */
  resCheckHeaderCopy = 0x100, /* the header at offset 0 differs from the
                                directory's copy, which counts */
  resCheckGaps = 0x101,       /* the data area; value: bytes no resource
                                 holds (a compaction packs them) */
  resCheckTrailing = 0x102    /* offset, size: bytes beyond the data area
                                 and the directory packed together (a
                                 compaction cuts them) */
};

/* One finding of ResCheckFile. */
typedef struct ResFinding {
  uint32_t kind; /* resCheck* */
  uint32_t typeId;
  uint32_t index;
  uint32_t offset;
  uint32_t size;
  uint32_t value;
  uint32_t otherTypeId;
  uint32_t otherIndex;
  uint32_t otherOffset;
  uint32_t otherSize;
} ResFinding;

#ifdef __cplusplus
static_assert(sizeof(ResFinding) == 40, "a finding is ten words");
#else
_Static_assert(sizeof(ResFinding) == 40, "a finding is ten words");
#endif

/* Checks the resource file `libPath` as ResOpenFile checks a file before
   using it, without opening it as a resource file, and lists every problem
   found rather than the first: each resource outside the data area, each
   pair that overlaps. A file without problems gets its notes. The
   findings go, in the order found, to *outFindings: a new handle of the
   current heap holding an array of ResFinding (MemGetHandleSize / sizeof
   (ResFinding) of them, possibly none) that the caller disposes of with
   MemDisposeHandle. Returns 0 when the library accepts the file; else the
   code of the first problem, the one ResOpenFile gives (0x4503, 0x4106,
   0x4585); with *outFindings NULL: 0x4502 when the file cannot be opened,
   0x4506 when its size cannot be taken or a seek fails, 0x4504 (or 0x4503)
   when a read that the size allowed fails (a directory, which a POSIX
   system opens, gives one of 0x4506 and 0x4504), 0x4603 (or 0x4601) when
   memory runs short, 0x4101 for a NULL argument. Reads only inside the
   file. The path is read before anything is allocated, so it may lie in an
   unlocked block of the current heap. */
OKR_API ErrCode ResCheckFile(const char* libPath, Handle* outFindings);

OKR_END_DECLS

#endif
