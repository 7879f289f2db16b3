// Size classes of the free-block index (index.h): the free blocks of one
// class share a list. Below kLinearLimit a class is one 16-byte step; above,
// each power of two is cut into kSubClasses classes, so classes stay 16 bytes
// wide up to 1 KiB: blocks of whole granules have one size per class there.
// A free block need not be whole granules, though (a pool extension is not
// raised to the granule, nor is the rest of the block it was cut from), so
// any class may hold sizes under a search's size; SizeClassOf tells the
// search whether it asks for its class's smallest size.
#ifndef OKR_MEM_SIZE_CLASSES_H
#define OKR_MEM_SIZE_CLASSES_H

#include <cstdint>

namespace okr_mem {

constexpr uint32_t kSubBits = 5;
constexpr uint32_t kSubClasses = 1u << kSubBits;
constexpr uint32_t kLinearBits = kSubBits + 4;
constexpr uint32_t kLinearLimit = 1u << kLinearBits;
constexpr uint32_t kClassCount = kSubClasses + (32 - kLinearBits) * kSubClasses;

// Free blocks of at least this size are the index's members (on a 32-bit
// build their payload holds the member's words).
constexpr uint32_t kMemberMin = 16;

inline bool IsMemberSize(uint32_t blockSize) {
  return blockSize >= kMemberMin;
}

// Sizes of a class differ only in their low ClassShift bits: 4 below
// 2 * kLinearLimit (16-byte steps up to 1 KiB), then one more per power of
// two. Written without branches, as sizes come in no predictable order.
inline uint32_t ClassShift(uint32_t size) {
  // The highest bit of size, but at least kLinearBits: that bit set as well.
  const uint32_t octave = 31 - static_cast<uint32_t>(__builtin_clz(size | (1u << kLinearBits)));
  return octave - kSubBits;
}

inline uint32_t ClassOf(uint32_t size) {
  const uint32_t shift = ClassShift(size);
  return (shift - 4) * kSubClasses + (size >> shift);
}

// A size's class, and whether the size is the smallest of its class, so
// that every member of the class holds at least that many bytes.
struct SizeClass {
  uint32_t c;
  bool isFloor;
};
inline SizeClass SizeClassOf(uint32_t size) {
  const uint32_t shift = ClassShift(size);
  return SizeClass{(shift - 4) * kSubClasses + (size >> shift),
                   (size & ((uint32_t{1} << shift) - 1)) == 0};
}

}  // namespace okr_mem

#endif
