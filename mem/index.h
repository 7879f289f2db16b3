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
//   list in chain order, linked through words of each member (see
//   IndexWords); the table keeps each class's first member, its head, and
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
// - A class whose list grew long may also have a treap over the same
//   members (class_tree.cpp), with a count of them; the table names its root.
// - `tail` names the chain's last block (a member or not).
// - The table lives outside the heap, made and given back with it (MemSide).
//   Its address is kept in the prevFree slot of the initial pool's
//   descriptor, whose block is never free.
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
static_assert(kClassCount % 64 == 0 && kClassWords < 64, "one summary word covers the bitmap");

// Free blocks of at least this size are members (on a 32-bit build their
// payload holds the member's words).
constexpr uint32_t kMemberMin = 16;

inline bool IsMemberSize(uint32_t blockSize) {
  return blockSize >= kMemberMin;
}

// Sizes of a class differ only in their low ClassShift bits: 4 below
// kLinearLimit (16-byte steps), then one more per power of two. Written
// without branches, as sizes come in no predictable order.
inline uint32_t ClassShift(uint32_t size) {
  const uint32_t octave = 31 - static_cast<uint32_t>(__builtin_clz(size | 1));
  return std::max(octave, kLinearBits) - kSubBits;
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

// ---- A member's words -------------------------------------------------------

// A member has three words: its label, and its class list's next and prev
// links, which name descriptors by their offset from the heap header (0:
// none). A 64-bit descriptor has room for them; a 32-bit one has none, so
// there they form a node at the start of the free payload, after the owner
// word, and a block that changes its place in place carries its node along.
struct IndexWords {
  uint32_t next, prev, label;
};

#if UINTPTR_MAX == 0xFFFFFFFFu
constexpr bool kWordsInPayload = true;
static_assert(kMemberMin - kOwnerSize >= sizeof(IndexWords), "a node fits the smallest member");
inline IndexWords* NodeOf(const BlockDesc* d) {
  return static_cast<IndexWords*>(d->data);
}
inline uint32_t* LabelSlot(BlockDesc* d) {
  return &NodeOf(d)->label;
}
inline uint32_t* NextSlot(BlockDesc* d) {
  return &NodeOf(d)->next;
}
inline uint32_t* PrevSlot(BlockDesc* d) {
  return &NodeOf(d)->prev;
}
#else
constexpr bool kWordsInPayload = false;
inline uint32_t* LabelSlot(BlockDesc* d) {
  return &d->indexLabel;
}
inline uint32_t* NextSlot(BlockDesc* d) {
  return &d->indexNext;
}
inline uint32_t* PrevSlot(BlockDesc* d) {
  return &d->indexPrev;
}
#endif

// A memory checker closes the words to the client (shadow.h): the manager
// reads and writes them through these.
inline uint32_t LabelOf(const BlockDesc* d) {
  return LoadWord(LabelSlot(const_cast<BlockDesc*>(d)));
}
inline void SetLabel(BlockDesc* d, uint32_t label) {
  StoreWord(LabelSlot(d), label);
}
inline uint32_t NextOf(const BlockDesc* d) {
  return LoadWord(NextSlot(const_cast<BlockDesc*>(d)));
}
inline void SetNext(BlockDesc* d, uint32_t next) {
  StoreWord(NextSlot(d), next);
}
inline uint32_t PrevOf(const BlockDesc* d) {
  return LoadWord(PrevSlot(const_cast<BlockDesc*>(d)));
}
inline void SetPrev(BlockDesc* d, uint32_t prev) {
  StoreWord(PrevSlot(d), prev);
}
inline IndexWords WordsOf(const BlockDesc* d) {
  return IndexWords{NextOf(d), PrevOf(d), LabelOf(d)};
}
inline void SetWords(BlockDesc* d, const IndexWords& w) {
  SetNext(d, w.next);
  SetPrev(d, w.prev);
  SetLabel(d, w.label);
}

// ---- Treaps over long classes (class_tree.cpp) ------------------------------

// A class list is walked to find a member's place in it, or the first member
// of at least s bytes in a class of mixed sizes. Short lists make that cheap;
// a class that grows long gets a treap over its members as well: ordered by
// label like the list, heap-ordered by a hash of each member's descriptor,
// each node knowing the largest block below it. It lives in the members'
// payloads, after their index words, so only classes whose smallest member
// has room for it (kTreeMinClass and up) can have one.
struct TreeWords {
  uint32_t left, right;  // descriptor offsets, 0: none
  uint32_t maxSize;      // the largest blockSize in the subtree
};
inline TreeWords* TreeOf(const BlockDesc* d) {
  return reinterpret_cast<TreeWords*>(static_cast<char*>(d->data) +
                                      (kWordsInPayload ? sizeof(IndexWords) : 0));
}
// The bytes at the start of a free block's payload that the index may write:
// its words where they live in the payload, and a treap node.
constexpr size_t kManagerBytes = (kWordsInPayload ? sizeof(IndexWords) : 0) + sizeof(TreeWords);
// A member's treap words, read and written whole (they are closed too).
inline TreeWords LoadTree(const BlockDesc* d) {
  const TreeWords* t = TreeOf(d);
  return TreeWords{LoadWord(&t->left), LoadWord(&t->right), LoadWord(&t->maxSize)};
}
inline void StoreTree(BlockDesc* d, const TreeWords& w) {
  TreeWords* t = TreeOf(d);
  StoreWord(&t->left, w.left);
  StoreWord(&t->right, w.right);
  StoreWord(&t->maxSize, w.maxSize);
}
constexpr uint32_t kTreeMinClass = 2;  // 32 bytes and more
static_assert(kTreeMinClass * 16 >=
                  kOwnerSize + (kWordsInPayload ? sizeof(IndexWords) : 0) + sizeof(TreeWords),
              "a treap node fits the smallest member of a class that may have a treap");
// A class gets its treap when a walk of its list passes kTreeFrom members;
// it loses it below kTreeUntil members, or when the treap has followed more
// changes than the class has members without being asked anything (a class
// used only at its head pays nothing for it), which also pays for building
// it again.
constexpr uint32_t kTreeFrom = 64;
constexpr uint32_t kTreeUntil = 16;

// The root of a treap over the class list that starts at `head`.
uint32_t MemTreeBuild(const Heap* heap, const BlockDesc* head);
// Adds labelled member `d`; returns the new root.
uint32_t MemTreeInsert(const Heap* heap, uint32_t root, BlockDesc* d);
// Takes member `d` out; returns the new root.
uint32_t MemTreeRemove(const Heap* heap, uint32_t root, const BlockDesc* d);
// Member `d`'s blockSize changed: refreshes the largest sizes above it.
void MemTreeResized(const Heap* heap, uint32_t root, const BlockDesc* d);
// The member with the largest label under `label`, or NULL.
BlockDesc* MemTreeBefore(const Heap* heap, uint32_t root, uint32_t label);
// The member with the smallest label of at least `size` bytes, or NULL.
BlockDesc* MemTreeFirstFit(const Heap* heap, uint32_t root, uint32_t size);
// True when the treap at `root` holds the members of the class list starting
// at `head` (`count` of them), in order, with its priorities and sizes right;
// reads only descriptors that `valid` accepts.
bool MemTreeCheck(const Heap* heap, uint32_t root, const BlockDesc* head, uint32_t count,
                  bool (*valid)(const Heap*, uint32_t ref));

// ---- The table ------------------------------------------------------------

// A set of classes: one bit per class and a summary bit per 64-bit word.
struct ClassSet {
  uint64_t summary;
  uint64_t words[kClassWords + 1];  // the last stays 0: a search may start past the last class
};

constexpr uint32_t kNoClass = ~0u;

inline bool Contains(const ClassSet& s, uint32_t c) {
  return (s.words[c / 64] >> (c % 64)) & 1;
}

// The lowest and the highest set bit of a word that is not 0 (the builtins
// compile to one instruction each; std::countl_zero would also test for 0).
inline uint32_t LowestBit(uint64_t bits) {
  return static_cast<uint32_t>(__builtin_ctzll(bits));
}
inline uint32_t HighestBit(uint64_t bits) {
  return 63 ^ static_cast<uint32_t>(__builtin_clzll(bits));
}

inline void Insert(ClassSet& s, uint32_t c) {
  s.words[c / 64] |= uint64_t{1} << (c % 64);
  s.summary |= uint64_t{1} << (c / 64);
}

inline void Erase(ClassSet& s, uint32_t c) {
  uint64_t& word = s.words[c / 64];
  word &= ~(uint64_t{1} << (c % 64));
  if (word == 0) s.summary &= ~(uint64_t{1} << (c / 64));
}

// The smallest class of `s` at or above `c` (c <= kClassCount), or kNoClass.
inline uint32_t FirstFrom(const ClassSet& s, uint32_t c) {
  uint32_t w = c / 64;
  uint64_t bits = s.words[w] & (~uint64_t{0} << (c % 64));
  if (bits == 0) {
    const uint64_t above = s.summary & (~uint64_t{1} << w);
    if (above == 0) return kNoClass;
    w = LowestBit(above);
    bits = s.words[w];
  }
  return w * 64 + LowestBit(bits);
}

// The largest class of `s` below `c`, or kNoClass.
inline uint32_t LastBelow(const ClassSet& s, uint32_t c) {
  if (c == 0) return kNoClass;
  uint32_t w = (c - 1) / 64;
  uint64_t bits = s.words[w] & (~uint64_t{0} >> (63 - (c - 1) % 64));
  if (bits == 0) {
    const uint64_t below = s.summary & ((uint64_t{1} << w) - 1);
    if (below == 0) return kNoClass;
    w = HighestBit(below);
    bits = s.words[w];
  }
  return w * 64 + HighestBit(bits);
}

struct ClassHead {
  uint32_t head;    // descriptor offset of the class's first member, 0: empty
  uint32_t label;   // that member's label
  uint32_t gapLow;  // a record's bound on the head labels of its gap
  uint32_t tree;    // descriptor offset of its treap's root, 0: none
};

// What a class with a treap also counts, kept apart from the heads.
struct ClassTree {
  uint32_t count;  // the class's members
  uint32_t idle;   // changes the treap followed since it last answered a question
};

struct MemIndex {
  ClassSet nonEmpty;
  ClassSet records;
  uint32_t tail;     // descriptor offset of the chain's last block, 0: empty
  uint32_t members;  // labelled members
  bool suspended;
  ClassHead heads[kClassCount];
  ClassTree trees[kClassCount];
};

// Descriptor offsets from the heap header; 0 is never a descriptor. RefOf
// and DescAt take a descriptor and an offset that are there (the hot paths
// know that and pay for no test); RefOrNone and DescOrNull also take NULL
// and 0, "none".
inline uint32_t RefOf(const Heap* heap, const BlockDesc* d) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(d) - reinterpret_cast<uintptr_t>(heap));
}
inline BlockDesc* DescAt(const Heap* heap, uint32_t ref) {
  return reinterpret_cast<BlockDesc*>(reinterpret_cast<uintptr_t>(heap) + ref);
}
inline uint32_t RefOrNone(const Heap* heap, const BlockDesc* d) {
  return d != nullptr ? RefOf(heap, d) : 0;
}
inline BlockDesc* DescOrNull(const Heap* heap, uint32_t ref) {
  return ref != 0 ? DescAt(heap, ref) : nullptr;
}

// The initial pool's descriptor is the first entry of the pool right after
// the header: reached without loading firstBlock, one step fewer on every
// block operation's way to the table.
inline MemIndex* IndexOf(const Heap* heap) {
  return reinterpret_cast<MemIndex*>(reinterpret_cast<const BlockDesc*>(heap + 1)->prevFree);
}

// What a heap keeps outside its region, in the one allocation it makes
// besides the region: the index's table, then the heap's counters.
struct MemSide {
  MemIndex index;
  HeapCounters counters;
};

inline HeapCounters& CountersOf(const Heap* heap) {
  return reinterpret_cast<MemSide*>(IndexOf(heap))->counters;
}

// After freeBytes fell: keeps its least value, from which the peak of bytes
// in use follows.
inline void MemNoteFreeBytes(const Heap* heap) {
  HeapCounters& counters = CountersOf(heap);
  if (heap->freeBytes < counters.leastFree) counters.leastFree = heap->freeBytes;
}

// ---- Operations (index.cpp) -----------------------------------------------

// Bytes of the table that MemNewHeap allocates next to every heap.
size_t MemIndexBytes();
// Makes `table` the empty index of `heap`, whose first block is set up.
void MemIndexInit(Heap* heap, void* table);

// The first member of class `c`, a record, of at least `size` bytes, unless
// the next record's head comes first; that head then, or NULL.
BlockDesc* MemIndexFirstInClass(const Heap* heap, uint32_t c, uint32_t size);

// Where a search for `size` bytes ends: at the first chain member at least
// that large (NULL: none), found through record `r`, the first record at or
// above `c`, the size's class. A block of `size` bytes enters the chain
// right in front of `at`.
struct IndexSpot {
  BlockDesc* at;
  uint32_t c;
  uint32_t r;  // kNoClass: none
};

// The spot of `size` (size >= kMemberMin). The index must not be suspended.
inline IndexSpot MemIndexSeek(const Heap* heap, uint32_t size) {
  const MemIndex* idx = IndexOf(heap);
  const SizeClass sc = SizeClassOf(size);
  const uint32_t r = FirstFrom(idx->records, sc.c);
  if (r == kNoClass) return IndexSpot{nullptr, sc.c, r};
  // Only c itself, when `size` is not its floor, may hold members under
  // `size` before the one that fits. Both facts go into one test: sizes come
  // in no predictable order, and a branch on isFloor alone would be a coin
  // toss.
  if (((r ^ sc.c) | uint32_t{sc.isFloor}) == 0) [[unlikely]] {
    return IndexSpot{MemIndexFirstInClass(heap, sc.c, size), sc.c, r};
  }
  return IndexSpot{DescAt(heap, idx->heads[r].head), sc.c, r};
}

// The first chain member of at least `size` bytes (size >= kMemberMin), or
// NULL.
inline BlockDesc* MemIndexFirstFit(const Heap* heap, uint32_t size) {
  return MemIndexSeek(heap, size).at;
}

// Adds member `d`, just linked into the chain at `spot`, the spot of its
// size. The index must not be suspended.
void MemIndexInsert(Heap* heap, BlockDesc* d, const IndexSpot& spot);
// Takes chain member `d` out, before it leaves the chain; its words must
// still be intact.
void MemIndexRemove(Heap* heap, BlockDesc* d);

// What a chain member that changes its place and size in place carries
// over from MemIndexLift to MemIndexSettle.
struct IndexCarry {
  enum Kind : uint8_t { kNothing, kStays, kMoves, kJoins } kind;
  uint32_t c;  // kStays, kMoves: the class of the new size
  IndexWords words;
  TreeWords tree;
};
// Before chain member `d` changes its data address or size (to `newSize`),
// while its words are intact: takes `d` out of its class if the class changes.
IndexCarry MemIndexLift(Heap* heap, BlockDesc* d, uint32_t newSize);
// After the change (owner word written): puts `d` back with its words
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
