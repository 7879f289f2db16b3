// The free-block index: finds the first block in chain order that holds at
// least s bytes without walking the chain, and follows every change of the
// chain so that its answer is always the walk's answer.
//
// Invariants (checked by MemCheckHeap):
// - Members are exactly the chain's blocks of at least kMemberMin bytes.
//   Smaller free blocks (the few bytes that growing in place can leave) never
//   satisfy a search and stay in the chain only.
// - Every member has a label; labels strictly ascend along the chain.
// - Members fall into size classes (ClassOf). The members of a class form a
//   list in chain order, linked through a node at the start of each member's
//   free payload; the table keeps each class's first member, its head, and
//   that head's label.
// - A class is non-empty exactly when it has a head. A class is a record
//   exactly when its head comes before the heads of all classes above it.
//   Records thus ascend in chain order as in size, and the first block of at
//   least s bytes is the head of the first record at or above ClassOf(s),
//   unless that record is ClassOf(s) itself and holds members under s.
// - The classes between a record and the next record below it are its gap.
//   A record's gapLow is at most the head label of every non-empty class in
//   its gap: when a record's head leaves or goes later and its new head
//   still comes before gapLow, none of the classes it hid can become a
//   record, and nothing needs to be weighed again.
// - `tail` names the chain's last block (a member or not).
// - The table lives outside the heap, made and given back with it. Its
//   address is kept in the prevFree slot of the initial pool's descriptor,
//   whose block is never free.
// - Compaction suspends the index (the chain alone is kept, with its tail)
//   and rebuilds it in one pass over the chain at its end.
#ifndef OKR_MEM_INDEX_H
#define OKR_MEM_INDEX_H

#include <bit>

#include "mem/internal.h"

// ---- Size classes ---------------------------------------------------------

// Below kLinearLimit a class is one 16-byte step; above, each power of two
// is cut into kSubClasses classes, which keeps every class below 1 KiB exact.
constexpr uint32_t kSubBits = 5;
constexpr uint32_t kSubClasses = 1u << kSubBits;
constexpr uint32_t kLinearBits = kSubBits + 4;
constexpr uint32_t kLinearLimit = 1u << kLinearBits;
constexpr uint32_t kClassCount = kSubClasses + (32 - kLinearBits) * kSubClasses;
constexpr uint32_t kClassWords = kClassCount / 64;
static_assert(kClassCount % 64 == 0 && kClassWords <= 64, "one summary word covers the bitmap");

// Free blocks of at least this size are members; their payload holds a node.
constexpr uint32_t kMemberMin = 16;

inline bool IsMemberSize(uint32_t blockSize) {
  return blockSize >= kMemberMin;
}

inline uint32_t ClassOf(uint32_t size) {
  if (size < kLinearLimit) return size >> 4;
  const uint32_t octave = 31 - static_cast<uint32_t>(std::countl_zero(size));
  const uint32_t sub = (size >> (octave - kSubBits)) & (kSubClasses - 1);
  return kSubClasses + (octave - kLinearBits) * kSubClasses + sub;
}

// The smallest size of class `c`.
inline uint32_t ClassFloor(uint32_t c) {
  if (c < 2 * kSubClasses) return c << 4;
  const uint32_t octave = kLinearBits + (c - kSubClasses) / kSubClasses;
  return (kSubClasses + c % kSubClasses) << (octave - kSubBits);
}

// ---- Member nodes and labels ----------------------------------------------

// A member's node, at the start of its payload. Links name descriptors by
// their offset from the heap header (0: none), so a block that moves in
// place takes its node along and nothing else changes.
struct IndexNode {
  uint32_t next, prev;  // the class list's neighbours
#if UINTPTR_MAX == 0xFFFFFFFFu
  uint32_t label;  // 64-bit builds keep it in the descriptor's own word
#endif
};
static_assert(kMemberMin - kOwnerSize >= sizeof(IndexNode), "a node fits the smallest member");

inline IndexNode* NodeOf(const BlockDesc* d) {
  return static_cast<IndexNode*>(d->data);
}

// Where member `d` keeps its label.
inline uint32_t* LabelSlot(BlockDesc* d) {
#if UINTPTR_MAX == 0xFFFFFFFFu
  return &NodeOf(d)->label;
#else
  return &d->chainOrder;
#endif
}
inline uint32_t LabelOf(const BlockDesc* d) {
  return *LabelSlot(const_cast<BlockDesc*>(d));
}
inline void SetLabel(BlockDesc* d, uint32_t label) {
  *LabelSlot(d) = label;
}

// ---- The table ------------------------------------------------------------

// A set of classes: one bit per class and a summary bit per 64-bit word.
struct ClassSet {
  uint64_t summary;
  uint64_t words[kClassWords];
};

inline bool Contains(const ClassSet& s, uint32_t c) {
  return (s.words[c / 64] >> (c % 64)) & 1;
}

struct ClassHead {
  uint32_t head;    // descriptor offset of the class's first member, 0: empty
  uint32_t label;   // that member's label
  uint32_t node;    // the offset of its node, so that a new head links to it
  uint32_t gapLow;  // a record's bound on the head labels of its gap
};

struct MemIndex {
  ClassSet nonEmpty;
  ClassSet records;
  uint32_t tail;     // descriptor offset of the chain's last block, 0: empty
  uint32_t members;  // labelled members
  bool suspended;
  ClassHead heads[kClassCount];
};

// Descriptor offsets from the heap header; 0 is never a descriptor.
inline uint32_t RefOf(const Heap* heap, const BlockDesc* d) {
  if (d == nullptr) return 0;
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(d) - reinterpret_cast<uintptr_t>(heap));
}
inline BlockDesc* DescAt(const Heap* heap, uint32_t ref) {
  if (ref == 0) return nullptr;
  return reinterpret_cast<BlockDesc*>(reinterpret_cast<uintptr_t>(heap) + ref);
}

// The offset of member `d`'s node from the heap header.
inline uint32_t NodeRefOf(const Heap* heap, const BlockDesc* d) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(d->data) -
                               reinterpret_cast<uintptr_t>(heap));
}

inline MemIndex* IndexOf(const Heap* heap) {
  return reinterpret_cast<MemIndex*>(heap->firstBlock->prevFree);
}

// ---- Operations (index.cpp) -----------------------------------------------

// Bytes of the table that MemNewHeap allocates next to every heap.
size_t MemIndexBytes();
// Makes `table` the empty index of `heap`, whose first block is set up.
void MemIndexInit(Heap* heap, void* table);

// The first chain member of at least `size` bytes (size >= kMemberMin), or
// NULL. The index must not be suspended.
BlockDesc* MemIndexFirstFit(const Heap* heap, uint32_t size);
// Adds `d`, just linked into the chain in front of the first block at least
// as large (or at its end), if it is large enough to be a member.
void MemIndexInsert(Heap* heap, BlockDesc* d);
// Takes chain member `d` out, before it leaves the chain; its node must
// still be intact.
void MemIndexRemove(Heap* heap, BlockDesc* d);

// What a chain member that changes its place and size in place carries
// over from MemIndexLift to MemIndexSettle.
struct IndexCarry {
  enum Kind : uint8_t { kNothing, kStays, kMoves, kJoins } kind;
  uint32_t label;
  IndexNode node;
};
// Before chain member `d` changes its data address or size (to `newSize`),
// while its node is intact: takes `d` out of its class if the class changes.
IndexCarry MemIndexLift(Heap* heap, BlockDesc* d, uint32_t newSize);
// After the change (owner word written): puts `d` back with its node, label
// and class as `carry` says.
void MemIndexSettle(Heap* heap, BlockDesc* d, const IndexCarry& carry);

// Compaction changes too much to follow block by block: it suspends the
// index, and the rebuild relabels the chain and refills the table.
void MemIndexSuspend(Heap* heap);
void MemIndexRebuild(Heap* heap);

// The chain's last block, kept through suspension.
BlockDesc* MemChainTail(const Heap* heap);
void MemSetChainTail(Heap* heap, BlockDesc* d);

#endif
