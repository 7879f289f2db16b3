// The free-block index: finds the first block in chain order that holds at
// least s bytes without walking the chain, and follows every change of the
// chain so that its answer is always the walk's answer.
//
// How it works. Its members are the chain's free blocks of at least
// kMemberMin bytes (smaller ones, the few bytes that growing in place can
// leave, never satisfy a search and stay in the chain only). Members fall
// into size classes (size_classes.h); each class keeps its members in a
// list in chain order, whose first member is the class's head. Each member
// carries a label (label_groups.h); its order key (its label group's key,
// then the label, in 64 bits: KeyOf) ascends along the chain, so that which
// of two members comes first is a comparison. Keys may change while the
// chain does not (labels are given out again, group keys spread): their
// order never does.
//
// Records. A class is a record when its head comes before the heads of all
// classes above it (of larger blocks). Every block of at least s bytes is a
// member of ClassOf(s) or a class above, so the one that comes first is the
// head with the least key among those classes. Going down the classes from
// the largest, the least key seen so far changes exactly at the records, so
// that head is the head of the first record at or above ClassOf(s). (One
// exception: when that record is ClassOf(s) itself and the class holds sizes
// under s, its first member of at least s is the answer if it comes before
// the head of the next record above, which is the answer otherwise.) A
// search is thus a bitmap lookup (class_sets.h), with a second one for the
// next record above in the exception.
//
// Keeping the records right. The classes between a record and the next
// record below it (below the lowest record: all classes down to the first)
// are the record's gap: the classes it hides, whose heads, if any, all come
// after its own.
// - A block enters the chain in front of the first block at least as large
//   (`at`), which is what a search for its size answers. So it comes before
//   every head of the classes above its own, and becomes its class's head
//   (unless its class holds smaller members before `at`); its class becomes
//   a record. The records below it stay: their heads came before `at`, and
//   so before the entering block, which lies right in front of `at`. A
//   class that was a record keeps its gap and bound. One that was not lay
//   in the gap of the record the search went through, the first one above
//   it; its new gap is the part of that gap below it, so it takes that
//   record's bound (with no record above, every class above is empty, and
//   so is its gap).
// - A head that comes earlier: a member whose size changes in place (the
//   block after it is freed and merges into it, or the used block before
//   it shrinks into it or grows into its start) keeps its chain place, as
//   does a block that grows into a member, and may head its new class
//   without coming before the heads above. If the next record above has
//   its head earlier still, the class is hidden in that record's gap.
//   Otherwise the class is (or becomes) a record, and each record below it
//   whose head now comes later stops being one (HeadCameEarlier).
// - A head that leaves, or goes later (its class's next member takes over),
//   is what moves records: its class may stop being one, and of the classes
//   it hid, those whose heads come before its new head, the head of the
//   next record above and the heads of the classes it hid above them now
//   become records.
// - Gaps. Each record keeps a gap bound (gapLow), at most the head key of
//   every non-empty class in its gap. When its head goes later, a class of
//   its gap can come out only with a key under both the new head's and the
//   next record's above; if gapLow is not under both, none can, and the gap is
//   not looked at: the class stays a record if its new head still comes
//   before the next record's, or else stops being one, its new head and
//   its gap joining the gap of the next record above (HeadWentLater).
//   Otherwise the class and its gap are weighed again (Reweigh): from the
//   class down, each a record when its head comes before the next record's
//   and all heads weighed so far; every record found gets the exact bound
//   of its new gap, and the classes weighed before the first record found
//   join the next record's gap, whose bound comes down to their least head.
// - gapLow comes down whenever a head in the gap comes earlier or gets a
//   lower key (relabelled, or its group's key spread: Relabel,
//   RefreshHeadKeys), and when a record stops being one and its gap joins
//   the one above; it goes up only when a gap is weighed again. A bound too
//   low costs no more than a weighing that finds nothing new (and leaves
//   the bound exact); one too high would let HeadWentLater skip a class
//   that must come out, and searches would then answer a later block than
//   the walk. A class that a head coming earlier makes a record starts
//   from the bound of the record that hid it, whose gap held its new one,
//   and takes in the heads and bounds of the records it ends.
//
// A worked example: four classes A < B < C < D whose heads have the keys
// A 10, B 30, C 20, D 40. From the top: D is a record (nothing above), C too
// (20 < 40), B is not (30 > 20: C's first member, larger, comes first), A is
// (10 < 20). Records A, C, D; C's gap is {B}, gapLow(C) <= 30. A search in B
// finds the first record at or above B: C, whose head is the answer.
// Now C's head is taken, and C's next member, key 70, heads it. The next
// record above, D, has 40; gapLow(C) = 30 is under min(70, 40), so C's gap
// is weighed: C (70 > 40) is no record and goes to D's gap, whose bound
// comes down to 70; B (30 < 40) is a record, with an empty gap. Records A,
// B, D; a search in B now finds B's head. Had B's head been at 50 instead,
// gapLow(C) would have been 50, not under 40, and only C would have been
// weighed.
// Then a member of A at key 25 grows in place (the block after it is freed
// and joins it) into C's sizes: C's head comes earlier, to 25. D's head,
// 40, comes later, so C is a record again, starting from gapLow(D) = 70;
// B's head, 30, comes after 25, so B stops being one and C's bound comes
// down to 30; A's, 10, comes before, and A stays. Records A, C, D, with
// C's gap {B} as at the start. (gapLow(D) stays 70 over a gap now empty: a
// bound only needs to be low enough.)
//
// The worst single operation. A block operation that does not compact
// changes the index at most three times (a block and its free neighbours
// leave, a block enters or changes size in place), and twice more when the
// master pool grows first (its block is taken from the chain and its rest
// put back): four for an allocation, five for a resize that moves the
// block. One change costs at most:
// - a search: two bitmap lookups, and in a class of mixed sizes a walk over
//   its members smaller than the size;
// - labels: up to kGroupFull members relabelled and as many walked (a group
//   laid out again, or split), or up to 3 * (kGroupLeast - 1) (small groups
//   that merge); and at most one spreading of every group's key (up to
//   kGroupCount - 1 table entries) with a pass over the kClassCount heads;
// - records: one re-weighing, at most kClassCount classes, and, for a
//   member that changes class in place (taken out of one, put into
//   another), also one pass ending the records below its new head
//   (HeadCameEarlier), at most kClassCount more;
// - class lists: a member placed after its class's head walks the list up
//   to its place; a walk that passes kTreeFrom members gives the class a
//   treap (m log m steps once, for its m members), after which such steps
//   are log m. The 16-byte class has no room for a treap: a free block that
//   shrinks in place to 16 bytes there may walk all of its members.
// The chain's free blocks under 16 bytes next to members are passed over as
// well, and growing the master pool formats masterCount descriptors. These
// bounds on labels hold while the index has fewer than 8 * (kGroupCount - 1)
// members (about 32,000 free blocks; groups hold 8 members on average at
// least, index.cpp tells why); with more, group ids may run out, and a full
// group then grows, or every member is laid out again.
// Each change counts its steps in the table (IndexEffort) for the tests.
//
// Invariants (checked by MemCheckHeap, and asserted where they are relied
// on in debug builds):
// - Members are exactly the chain's blocks of at least kMemberMin bytes;
//   their keys strictly ascend along the chain; the label groups run along
//   the chain as the table says, no two small groups next to each other.
// - Each class list holds its class's members in chain order; the table
//   keeps its head, the head's label and key; a class is non-empty exactly
//   when it has a head.
// - The records are exactly the classes whose heads come before the heads
//   of all classes above; each record's gapLow is at most the head key of
//   every non-empty class in its gap.
// - A class whose list grew long may also have a treap over the same
//   members (class_tree.h), with a count of them; the table names its root.
// - `tail` names the chain's last block (a member or not).
// - The table lives outside the heap, made and given back with it (MemSide,
//   counters.h).
//   Its address is kept in the prevFree slot of the initial pool's
//   descriptor, whose block is never free.
// - Compaction suspends the index (the chain alone is kept, with its tail)
//   and rebuilds it in one pass over the chain at its end.
#ifndef OKR_MEM_INDEX_H
#define OKR_MEM_INDEX_H

#include "mem/class_sets.h"
#include "mem/class_tree.h"
#include "mem/internal.h"
#include "mem/label_groups.h"
#include "mem/member_words.h"
#include "mem/size_classes.h"

namespace okr_mem {

struct ClassHead {
  uint32_t head;    // descriptor offset of the class's first member, 0: empty
  uint32_t label;   // that member's label
  OrderKey key;     // and its order key
  OrderKey gapLow;  // a record's bound on the head keys of its gap
};

// What a class with a treap also keeps, apart from the heads.
struct ClassTree {
  uint32_t root;   // descriptor offset of its treap's root, 0: none
  uint32_t count;  // the class's members
  uint32_t idle;   // changes the treap followed since it last answered a question
};

// The steps the index took since the counts were last cleared, counted on
// its rare paths only.
struct IndexEffort {
  uint32_t relabelled;  // members given a new label
  uint32_t walked;      // members passed on a walk of a class list or a group
  uint32_t weighed;     // classes weighed again
  uint32_t keysSpread;  // group keys spread out
};

struct MemIndex {
  ClassSet nonEmpty;
  ClassSet records;
  uint32_t tail;          // descriptor offset of the chain's last block, 0: empty
  uint32_t members;       // labelled members
  uint16_t unusedGroups;  // a stack of group ids, through their `next`
  bool suspended;
  IndexEffort effort;
  ClassHead heads[kClassCount];
  ClassTree trees[kClassCount];
  uint32_t groupKeys[kGroupCount];  // keys ascend in chain order
  LabelGroup groups[kGroupCount];
};

// The initial pool's descriptor is the first entry of the pool right after
// the header: reached without loading firstBlock, one step fewer on every
// block operation's way to the table.
inline MemIndex* IndexOf(const Heap* heap) {
  return reinterpret_cast<MemIndex*>(reinterpret_cast<const BlockDesc*>(heap + 1)->prevFree);
}

// The order key of `label`.
inline OrderKey KeyOfLabel(const MemIndex* idx, uint32_t label) {
  return OrderKey{idx->groupKeys[GroupOf(label)]} << 32 | label;
}

// The order key of member `d`.
inline OrderKey KeyOf(const Heap* heap, const BlockDesc* d) {
  return KeyOfLabel(IndexOf(heap), LabelOf(d));
}

// ---- Operations (index.cpp) -----------------------------------------------

// Bytes of the table that MemNewHeap allocates next to every heap.
size_t MemIndexBytes();
// Makes `table` the empty index of `heap`, whose first block is set up.
void MemIndexInit(Heap* heap, void* table);

// The first member of class `c`, a record, of at least `size` bytes, unless
// the head of the next record above comes first; that head then, or NULL.
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
  // Relied on: records' heads ascend in chain order as their classes do.
  OKR_MEM_ASSERT(FirstFrom(idx->records, r + 1) == kNoClass ||
                 idx->heads[r].key < idx->heads[FirstFrom(idx->records, r + 1)].key);
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
// The same for a member known to be of class `c`, while the index is not
// suspended.
void MemIndexRemoveFrom(Heap* heap, BlockDesc* d, uint32_t c);

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

}  // namespace okr_mem

#endif
