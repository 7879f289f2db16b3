// Sets of size classes (size_classes.h), one bit per class and a summary
// bit per word, with the lookups the free-block index makes: the first class
// of a set at or above a class, and the last below one.
#ifndef OKR_MEM_CLASS_SETS_H
#define OKR_MEM_CLASS_SETS_H

#include <cstdint>

#include "mem/size_classes.h"

namespace okr_mem {

// Words are as wide as an address: a 32-bit processor would split 64-bit
// words in halves and find their lowest bit through a library call.
using ClassWord = uintptr_t;
constexpr uint32_t kWordBits = sizeof(ClassWord) * 8;
constexpr uint32_t kClassWords = kClassCount / kWordBits;
static_assert(kClassCount % kWordBits == 0 && kClassWords < kWordBits,
              "one summary word covers the bitmap");

struct ClassSet {
  ClassWord summary;
  ClassWord words[kClassWords + 1];  // the last stays 0: a search may start past the last class
};

constexpr uint32_t kNoClass = ~0u;
constexpr ClassWord kAllBits = ~ClassWord{0};

inline ClassWord BitOf(uint32_t i) {
  return ClassWord{1} << i;
}

inline bool Contains(const ClassSet& s, uint32_t c) {
  return (s.words[c / kWordBits] >> (c % kWordBits)) & 1;
}

// The lowest and the highest set bit of a word that is not 0 (the builtins
// compile to one instruction each; std::countl_zero would also test for 0).
inline uint32_t LowestBit(uint32_t bits) {
  return static_cast<uint32_t>(__builtin_ctz(bits));
}
inline uint32_t LowestBit(uint64_t bits) {
  return static_cast<uint32_t>(__builtin_ctzll(bits));
}
inline uint32_t HighestBit(uint32_t bits) {
  return 31 ^ static_cast<uint32_t>(__builtin_clz(bits));
}
inline uint32_t HighestBit(uint64_t bits) {
  return 63 ^ static_cast<uint32_t>(__builtin_clzll(bits));
}

inline void Insert(ClassSet& s, uint32_t c) {
  s.words[c / kWordBits] |= BitOf(c % kWordBits);
  s.summary |= BitOf(c / kWordBits);
}

inline void Erase(ClassSet& s, uint32_t c) {
  ClassWord& word = s.words[c / kWordBits];
  word &= ~BitOf(c % kWordBits);
  if (word == 0) s.summary &= ~BitOf(c / kWordBits);
}

// The smallest class of `s` at or above `c` (c <= kClassCount), or kNoClass.
inline uint32_t FirstFrom(const ClassSet& s, uint32_t c) {
  uint32_t w = c / kWordBits;
  ClassWord bits = s.words[w] & (kAllBits << (c % kWordBits));
  if (bits == 0) {
    const ClassWord above = s.summary & (~ClassWord{1} << w);
    if (above == 0) return kNoClass;
    w = LowestBit(above);
    bits = s.words[w];
  }
  return w * kWordBits + LowestBit(bits);
}

// The largest class of `s` below `c`, or kNoClass.
inline uint32_t LastBelow(const ClassSet& s, uint32_t c) {
  if (c == 0) return kNoClass;
  uint32_t w = (c - 1) / kWordBits;
  ClassWord bits = s.words[w] & (kAllBits >> (kWordBits - 1 - (c - 1) % kWordBits));
  if (bits == 0) {
    const ClassWord below = s.summary & (BitOf(w) - 1);
    if (below == 0) return kNoClass;
    w = HighestBit(below);
    bits = s.words[w];
  }
  return w * kWordBits + HighestBit(bits);
}

}  // namespace okr_mem

#endif
