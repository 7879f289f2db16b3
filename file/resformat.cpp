// Byte order of resource files: swapping words, converting a header and a
// whole directory from the other byte order into the machine's.
#include "file/res_internal.h"

using namespace okr_res;

namespace {

// Swaps the version word and tells whether it then reads resVersion.
ErrCode ConvertHeaderWords(ResFileHeader* header) {
  if (header->version == resVersion) return errResAlreadyNative;
  SwapBytes32(&header->version);
  if (header->version != resVersion) return errVersionMismatch;
  SwapBytes32(&header->dataStart);
  SwapBytes32(&header->dataLength);
  SwapBytes32(&header->dirOffset);
  SwapBytes32(&header->dirLength);
  return errNone;
}

// True when `count` items of `itemSize` bytes from `offset` lie inside
// `length` bytes and start on a word boundary.
bool Fits(uint64_t offset, uint64_t count, uint64_t itemSize, uint32_t length) {
  return offset % kWordSize == 0 && offset + count * itemSize <= length;
}

void ConvertEntry(ResEntry* entry) {
  SwapBytes32(&entry->entryWord0);
  SwapBytes32(&entry->entryWord1);
  SwapBytes32(&entry->dataOffset);
  SwapBytes32(&entry->dataSize);
  SwapBytes32(&entry->attributes);
}

// Converts one type record and its entries; each count and offset is
// converted before it is used. Entries must lie behind the type list
// (`listEnd` bytes from its start), so converting them cannot change the
// records, counts and offsets that bound the walk.
ErrCode ConvertType(ResDirectory* dir, ResTypeRecord* type, uint64_t listEnd, uint32_t length) {
  SwapBytes32(&type->entryCount);
  SwapBytes32(&type->entryListOffset);
  uint64_t first = uint64_t{dir->typeListOffset} + type->entryListOffset;
  if (type->entryListOffset < listEnd || !Fits(first, type->entryCount, kEntrySize, length))
    return errResInvalidFile;
  for (uint32_t i = 0; i < type->entryCount; ++i)
    ConvertEntry(EntryAt(dir, type, i));
  return errNone;
}

}  // namespace

extern "C" void SwapBytes32(uint32_t* word) {
  if (word == nullptr) return;
  uint32_t w = *word;
  *word = (w >> 24) | ((w >> 8) & 0xFF00u) | ((w << 8) & 0xFF0000u) | (w << 24);
}

extern "C" ErrCode ResConvertHeader(ResFileHeader* header) {
  if (header == nullptr) return errNilPointer;
  return ConvertHeaderWords(header);
}

ErrCode okr_res::ConvertDirectoryWithin(ResDirectory* dir, uint32_t length) {
  // The version word decides first (the header copy is always there): a
  // native or foreign-version directory is answered so whatever its length;
  // one too short for its fixed part is refused before anything is swapped.
  uint32_t version = dir->header.version;
  SwapBytes32(&version);
  if (dir->header.version != resVersion && version == resVersion && length < kDirFixedSize)
    return errResInvalidFile;
  ErrCode err = ConvertHeaderWords(&dir->header);
  if (err != errNone) return err;
  SwapBytes32(&dir->fileFlags);
  SwapBytes32(&dir->typeListOffset);
  SwapBytes32(&dir->dirWord12);
  // A type list over the fixed part would change its own offset.
  if (dir->typeListOffset < kDirFixedSize || !Fits(dir->typeListOffset, 1, kWordSize, length))
    return errResInvalidFile;
  uint32_t* typeCount = TypeCountWord(dir);
  SwapBytes32(typeCount);
  uint64_t listEnd = kWordSize + uint64_t{*typeCount} * kTypeRecordSize;
  if (!Fits(dir->typeListOffset, listEnd, 1, length)) return errResInvalidFile;
  for (uint32_t i = 0; i < *typeCount; ++i) {
    err = ConvertType(dir, TypeAt(dir, i), listEnd, length);
    if (err != errNone) return err;
  }
  return errNone;
}

extern "C" ErrCode ResConvertDirectory(ResDirectory* dir) {
  if (dir == nullptr) return errNilPointer;
  // The directory's own length word is all there is to bound the walk; it is
  // read in the order the version word says. Nothing past the header copy is
  // read before it is known to be long enough.
  uint32_t length = dir->header.dirLength;
  if (dir->header.version != resVersion) SwapBytes32(&length);
  return ConvertDirectoryWithin(dir, length);
}
