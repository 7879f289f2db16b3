// The free-block index (invariants in index.h): size classes whose members
// are listed in chain order, labels that order members of different classes,
// and the record classes that answer a search with one bitmap lookup.
//
// Why records work: the first block of at least s bytes comes before every
// other such block, so it is the head of its class and its head comes before
// the heads of all classes above; that is, it heads a record. A new block
// enters the chain right in front of the first block at least as large, so
// it comes before every member of the classes above its own: it becomes the
// head of its class and that class a record, and no other record changes.
// Only a head that leaves or changes class makes the records move, and then
// only the non-empty classes between it and the next record below need a
// look (and, thanks to the gap bounds, mostly not even those).
//
// Labels are order-maintenance labels: a new member takes one a step below
// its chain successor's (LabelStep); when no label is left between its
// neighbours, a window of members around it is spread out (SpreadLabels),
// which keeps their order and so every record. A class whose list grows
// long also gets a treap over it (class_tree.cpp) to find a member's place,
// or a fitting member, without walking the list.
#include "mem/index.h"

namespace {

// Labels are 1 .. 2^32 - 1; 0 and 2^32 stand for "before the first" and
// "after the last" member.
constexpr uint64_t kLabelEnd = uint64_t{1} << 32;
// A new label stays at most this close to its successor: most blocks enter
// in front of an equal block, each in front of the one before, so a run
// entering at one place uses up the room below it step by step. The step
// shrinks as the index fills, to leave every member room.
// (About an eighth of the label space over the members, as a power of two.)
uint64_t LabelStep(const MemIndex* idx) {
  if (idx->members < (1u << 13)) return 65536;  // the usual answer, without the sums
  const int width = std::bit_width(idx->members | 1u);
  return width >= 25 ? 16 : std::min(uint64_t{65536}, uint64_t{1} << (29 - width));
}

// ---- Members --------------------------------------------------------------

// The head of class `c`, which is not empty.
BlockDesc* Head(const Heap* heap, const MemIndex* idx, uint32_t c) {
  return DescAt(heap, idx->heads[c].head);
}

// The label of class `c`'s head, or kLabelEnd for no class.
uint64_t HeadLabel(const MemIndex* idx, uint32_t c) {
  return c == kNoClass ? kLabelEnd : idx->heads[c].label;
}

BlockDesc* NextInClass(const Heap* heap, const BlockDesc* d) {
  return DescOrNull(heap, NextOf(d));
}

// The nearest members before and after `d` in the chain (chain blocks too
// small to be members are passed over).
BlockDesc* PrevMember(const BlockDesc* d) {
  BlockDesc* x = d->prevFree;
  while (x != nullptr && !IsMemberSize(x->blockSize))
    x = x->prevFree;
  return x;
}

BlockDesc* NextMember(const BlockDesc* d) {
  BlockDesc* x = d->nextFree;
  while (x != nullptr && !IsMemberSize(x->blockSize))
    x = x->nextFree;
  return x;
}

// ---- Records --------------------------------------------------------------

// No head label at all: the bound of a gap without members.
constexpr uint32_t kNoLabel = ~0u;

uint32_t& GapLow(MemIndex* idx, uint32_t c) {
  return idx->heads[c].gapLow;
}

void Lower(uint32_t& bound, uint64_t label) {
  if (label < bound) bound = static_cast<uint32_t>(label);
}

// Class `c` has a head that came earlier in the chain (a new class or a new
// head): it may become a record and end records below it, whose gaps then
// join its own.
void HeadCameEarlier(MemIndex* idx, uint32_t c) {
  const uint32_t label = idx->heads[c].label;
  const uint32_t up = FirstFrom(idx->records, c + 1);
  if (HeadLabel(idx, up) < label) {  // hidden: c lies in up's gap
    Lower(GapLow(idx, up), label);
    return;
  }
  uint32_t gapLow = kNoLabel;
  if (Contains(idx->records, c)) {
    gapLow = GapLow(idx, c);
  } else if (up != kNoClass) {
    gapLow = GapLow(idx, up);  // c's new gap was part of up's
  }
  Insert(idx->records, c);
  for (uint32_t r = LastBelow(idx->records, c); r != kNoClass && idx->heads[r].label > label;
       r = LastBelow(idx->records, r)) {
    Lower(gapLow, idx->heads[r].label);
    Lower(gapLow, GapLow(idx, r));
    Erase(idx->records, r);
  }
  GapLow(idx, c) = gapLow;
}

__attribute__((noinline)) void Reweigh(MemIndex* idx, uint32_t c, uint32_t up, uint64_t bound);

// Record `c`'s head went later in the chain (to `label`) or away (kLabelEnd).
// If its gap bound shows that none of the classes it hid comes before both
// its new head and the next record's head, only c itself is weighed;
// otherwise c and its gap are weighed again (Reweigh).
void HeadWentLater(MemIndex* idx, uint32_t c, uint64_t label) {
  const uint32_t up = FirstFrom(idx->records, c + 1);
  const uint64_t bound = HeadLabel(idx, up);
  if (GapLow(idx, c) < std::min(label, bound)) return Reweigh(idx, c, up, bound);
  if (label < bound) return;
  Erase(idx->records, c);
  if (up != kNoClass) {
    Lower(GapLow(idx, up), GapLow(idx, c));
    Lower(GapLow(idx, up), label);
  }
}

// The slow part of HeadWentLater, kept out of the block operations that take
// in the rest (see alloc.cpp): record `c` (`up` the next record above,
// whose head label is `bound`) and its gap, down to the next record below
// (which stays one), are weighed from the top down, word by word of the
// non-empty set, and every record found gets the exact bound of its new gap.
void Reweigh(MemIndex* idx, uint32_t c, uint32_t up, uint64_t bound) {
  const uint32_t low = LastBelow(idx->records, c);
  const uint32_t stop = low == kNoClass ? 0 : low + 1;  // weigh classes stop .. c
  Erase(idx->records, c);
  // The gap bound of the record whose gap the classes weighed now join (a
  // scratch word while there is none), and the least head label met in it.
  uint32_t none = kNoLabel;
  uint32_t* ownerGap = up != kNoClass ? &GapLow(idx, up) : &none;
  uint32_t least = *ownerGap;
  uint32_t w = c / 64;
  uint64_t bits = idx->nonEmpty.words[w] & (~uint64_t{0} >> (63 - c % 64));
  for (;;) {
    if (w == stop / 64) bits &= ~uint64_t{0} << (stop % 64);
    uint64_t found = 0;  // the word's classes that become records
    while (bits != 0) {
      const uint32_t bit = HighestBit(bits);
      bits ^= uint64_t{1} << bit;
      const uint32_t k = w * 64 + bit;
      const uint32_t headLabel = idx->heads[k].label;
      if (headLabel >= bound) {
        Lower(least, headLabel);
        continue;
      }
      *ownerGap = least;
      found |= uint64_t{1} << bit;
      bound = headLabel;
      ownerGap = &GapLow(idx, k);
      least = kNoLabel;
    }
    if (found != 0) {
      idx->records.words[w] |= found;
      idx->records.summary |= uint64_t{1} << w;
    }
    const uint64_t below = idx->nonEmpty.summary & ((uint64_t{1} << w) - 1);
    if (w == stop / 64 || (below >> (stop / 64)) == 0) break;
    w = HighestBit(below);
    bits = idx->nonEmpty.words[w];
  }
  *ownerGap = least;
}

// ---- Class lists ----------------------------------------------------------

void SetHead(const Heap* heap, MemIndex* idx, uint32_t c, const BlockDesc* d) {
  idx->heads[c].head = RefOf(heap, d);
  idx->heads[c].label = LabelOf(d);
}

// Class `c`'s treap, built first if the class has grown long enough to want
// one and has room for it; 0 when it has none.
// Class `c`'s treap, when a question is put to the class; 0 when it has none.
uint32_t AskTree(MemIndex* idx, uint32_t c) {
  idx->trees[c].idle = 0;
  return idx->heads[c].tree;
}

// A walk of class `c`'s list just passed `steps` members: a long one builds
// the class's treap, if the class has room for one.
void WalkedClass(const Heap* heap, MemIndex* idx, uint32_t c, uint32_t steps) {
  if (steps < kTreeFrom || c < kTreeMinClass) return;
  uint32_t count = 0;
  for (const BlockDesc* m = Head(heap, idx, c); m != nullptr; m = NextInClass(heap, m))
    ++count;
  idx->heads[c].tree = MemTreeBuild(heap, Head(heap, idx, c));
  idx->trees[c] = ClassTree{count, 0};
}

// True when class `c`'s treap (there is one) is to follow one more change; a
// treap that has followed too many since it last answered is dropped.
bool TreeFollows(MemIndex* idx, uint32_t c) {
  const ClassTree& t = idx->trees[c];
  if (t.count < kTreeUntil || ++idx->trees[c].idle > t.count) idx->heads[c].tree = 0;
  return idx->heads[c].tree != 0;
}

// The rare paths, out of line: a class with a treap gains or loses `d`.
__attribute__((noinline)) void TreeAdd(const Heap* heap, MemIndex* idx, uint32_t c, BlockDesc* d) {
  ++idx->trees[c].count;
  if (TreeFollows(idx, c)) idx->heads[c].tree = MemTreeInsert(heap, idx->heads[c].tree, d);
}
__attribute__((noinline)) void TreeDrop(const Heap* heap, MemIndex* idx, uint32_t c,
                                        const BlockDesc* d) {
  --idx->trees[c].count;
  if (TreeFollows(idx, c)) idx->heads[c].tree = MemTreeRemove(heap, idx->heads[c].tree, d);
}

// Counts member `d` into class `c` (already linked into its list).
inline void CountIn(const Heap* heap, MemIndex* idx, BlockDesc* d, uint32_t c) {
  ++idx->members;
  if (idx->heads[c].tree != 0) TreeAdd(heap, idx, c, d);
}

// Makes member `d` the head of class `c`, in front of the old head.
inline __attribute__((always_inline)) void PushHead(Heap* heap, MemIndex* idx, BlockDesc* d,
                                                    uint32_t c) {
  const uint32_t old = idx->heads[c].head;
  SetNext(d, old);
  if (old != 0) {
    SetPrev(DescAt(heap, old), RefOf(heap, d));
  } else {
    Insert(idx->nonEmpty, c);
  }
  SetHead(heap, idx, c, d);
  CountIn(heap, idx, d, c);
}

// Links labelled member `d` into its class list at its chain place, which
// lies after the head (whose label is `d`'s lower bound): found by walking a
// short list, through the treap in a long one. (Rare: out of line.)
__attribute__((noinline)) void LinkAfterHead(Heap* heap, MemIndex* idx, BlockDesc* d, uint32_t c) {
  const uint32_t label = LabelOf(d);
  BlockDesc* before;
  uint32_t steps = 0;
  if (const uint32_t tree = AskTree(idx, c)) {
    before = MemTreeBefore(heap, tree, label);
  } else {
    before = Head(heap, idx, c);
    for (BlockDesc* m = NextInClass(heap, before); m != nullptr && LabelOf(m) < label;
         m = NextInClass(heap, m), ++steps) {
      before = m;
    }
  }
  BlockDesc* after = NextInClass(heap, before);
  SetPrev(d, RefOf(heap, before));
  SetNext(d, RefOrNone(heap, after));
  if (after != nullptr) SetPrev(after, RefOf(heap, d));
  SetNext(before, RefOf(heap, d));
  CountIn(heap, idx, d, c);
  WalkedClass(heap, idx, c, steps);
}

// Links labelled member `d` into the list of `c`, its class, at its chain
// place and brings the records up to date.
void LinkIntoClass(Heap* heap, MemIndex* idx, BlockDesc* d, uint32_t c) {
  if (idx->heads[c].head != 0 && idx->heads[c].label < LabelOf(d)) {
    LinkAfterHead(heap, idx, d, c);
  } else {
    PushHead(heap, idx, d, c);
    HeadCameEarlier(idx, c);
  }
}

// Unlinks member `d` from class `c`, its class by the size it was listed at.
// Head `d` of class `c` leaves: its successor, if any, heads the class.
void PopHead(Heap* heap, MemIndex* idx, const BlockDesc* d, uint32_t c) {
  uint64_t label = kLabelEnd;
  if (const uint32_t next = NextOf(d)) {
    SetHead(heap, idx, c, DescAt(heap, next));
    label = idx->heads[c].label;
  } else {
    idx->heads[c].head = 0;
    idx->heads[c].label = 0;
    Erase(idx->nonEmpty, c);
  }
  if (Contains(idx->records, c)) HeadWentLater(idx, c, label);
}

void UnlinkFromClass(Heap* heap, MemIndex* idx, BlockDesc* d, uint32_t c) {
  --idx->members;
  if (idx->heads[c].tree != 0) TreeDrop(heap, idx, c, d);
  if (idx->heads[c].head == RefOf(heap, d)) return PopHead(heap, idx, d, c);
  const uint32_t next = NextOf(d);
  const uint32_t prev = PrevOf(d);
  if (next != 0) SetPrev(DescAt(heap, next), prev);
  SetNext(DescAt(heap, prev), next);
}

// ---- Labels ---------------------------------------------------------------

// Gives member `d` a new label, keeping its class's head label current.
// Relabelling keeps the order, so records stay records; but a head in a gap
// may come below its record's bound, which then comes down with it.
void Relabel(const Heap* heap, MemIndex* idx, BlockDesc* d, uint64_t label) {
  SetLabel(d, static_cast<uint32_t>(label));
  const uint32_t c = ClassOf(d->blockSize);
  ClassHead& head = idx->heads[c];
  if (head.head != RefOf(heap, d)) return;
  head.label = static_cast<uint32_t>(label);
  if (!Contains(idx->records, c)) Lower(GapLow(idx, FirstFrom(idx->records, c + 1)), label);
}

// No label fits between `prev` and `next`, the members around `d`: widens a
// window of members around d until its labels span enough room, then spreads
// them out with the widest gap at d, where the next blocks are likely to
// enter. Relabelling keeps the order, so records stay as they are.
__attribute__((noinline)) void SpreadLabels(const Heap* heap, MemIndex* idx, BlockDesc* d,
                                            BlockDesc* prev, BlockDesc* next) {
  uint64_t lowCount = prev != nullptr ? 1 : 0;
  uint64_t highCount = next != nullptr ? 1 : 0;
  BlockDesc* lowFirst = prev;
  BlockDesc* below = prev != nullptr ? PrevMember(prev) : nullptr;
  BlockDesc* above = next != nullptr ? NextMember(next) : nullptr;
  const uint64_t labelStep = LabelStep(idx);
  uint64_t lo, hi;
  for (uint64_t grow = 1;; grow *= 2) {
    lo = below != nullptr ? LabelOf(below) : 0;
    hi = above != nullptr ? LabelOf(above) : kLabelEnd;
    const uint64_t total = lowCount + highCount + 1;
    if (hi - lo >= 4 * (total + 1) * labelStep || (below == nullptr && above == nullptr)) break;
    for (uint64_t i = 0; i < grow && below != nullptr; ++i, ++lowCount) {
      lowFirst = below;
      below = PrevMember(below);
    }
    for (uint64_t i = 0; i < grow && above != nullptr; ++i, ++highCount)
      above = NextMember(above);
  }
  const uint64_t total = lowCount + highCount + 1;
  const uint64_t step = std::min(2 * labelStep, (hi - lo) / (2 * (total + 1)));
  BlockDesc* x = lowFirst;
  for (uint64_t i = 1; i <= lowCount; ++i, x = NextMember(x))
    Relabel(heap, idx, x, lo + i * step);
  x = next;
  for (uint64_t i = highCount; i > 0; --i, x = NextMember(x))
    Relabel(heap, idx, x, hi - i * step);
  SetLabel(d, static_cast<uint32_t>((lo + lowCount * step + hi - highCount * step) / 2));
}

// Labels member `d`, already in the chain, between its member neighbours:
// `next`, and the nearest member before d.
inline __attribute__((always_inline)) void AssignLabel(const Heap* heap, MemIndex* idx,
                                                       BlockDesc* d, BlockDesc* next) {
  BlockDesc* prev = PrevMember(d);
  const uint64_t lo = prev != nullptr ? LabelOf(prev) : 0;
  const uint64_t hi = next != nullptr ? LabelOf(next) : kLabelEnd;
  if (hi - lo >= 2) {
    SetLabel(d, static_cast<uint32_t>(hi - std::min(LabelStep(idx), (hi - lo) / 2)));
  } else {
    SpreadLabels(heap, idx, d, prev, next);
  }
}

// A member that enters the index: labelled, then listed.
void Enter(Heap* heap, MemIndex* idx, BlockDesc* d) {
  AssignLabel(heap, idx, d, NextMember(d));
  LinkIntoClass(heap, idx, d, ClassOf(d->blockSize));
}

}  // namespace

size_t MemIndexBytes() {
  return sizeof(MemIndex);
}

void MemIndexInit(Heap* heap, void* table) {
  auto* idx = static_cast<MemIndex*>(table);
  std::memset(idx, 0, sizeof *idx);
  heap->firstBlock->prevFree = reinterpret_cast<BlockDesc*>(idx);
}

// A block entering the chain lands right in front of the first member at
// least as large, the spot's `at`, so unless its class holds smaller members
// before it, it becomes its class's head and the class a record, and no other
// record changes (see the top of the file).
void MemIndexInsert(Heap* heap, BlockDesc* d, const IndexSpot& spot) {
  MemIndex* idx = IndexOf(heap);
  AssignLabel(heap, idx, d, spot.at);
  const uint32_t c = spot.c;
  if (spot.r != c) {
    // c was no record: its head, if any, lies after `at`, the head of the
    // record above. c's gap is what lay below c of that record's gap.
    GapLow(idx, c) = spot.r != kNoClass ? GapLow(idx, spot.r) : kNoLabel;
    Insert(idx->records, c);
    PushHead(heap, idx, d, c);
  } else if (idx->heads[c].head == RefOrNone(heap, spot.at)) {
    PushHead(heap, idx, d, c);
  } else {
    LinkAfterHead(heap, idx, d, c);
  }
}

void MemIndexRemove(Heap* heap, BlockDesc* d) {
  MemIndex* idx = IndexOf(heap);
  if (idx->suspended || !IsMemberSize(d->blockSize)) return;
  UnlinkFromClass(heap, idx, d, ClassOf(d->blockSize));
}

// (A long class gets its treap here, if it has none yet: the search leaves
// the chain as it was. Rare: out of line.)
__attribute__((noinline)) BlockDesc* MemIndexFirstInClass(const Heap* heap, uint32_t c,
                                                          uint32_t size) {
  MemIndex* idx = IndexOf(heap);
  const uint32_t up = FirstFrom(idx->records, c + 1);
  const uint64_t bound = HeadLabel(idx, up);
  if (const uint32_t tree = AskTree(idx, c)) {
    BlockDesc* m = MemTreeFirstFit(heap, tree, size);
    if (m != nullptr && LabelOf(m) < bound) return m;
  } else {
    uint32_t steps = 0;
    BlockDesc* m = Head(heap, idx, c);
    while (m != nullptr && LabelOf(m) < bound && m->blockSize < size) {
      m = NextInClass(heap, m);
      ++steps;
    }
    WalkedClass(heap, idx, c, steps);
    if (m != nullptr && LabelOf(m) < bound) return m;
  }
  return up == kNoClass ? nullptr : Head(heap, idx, up);
}

IndexCarry MemIndexLift(Heap* heap, BlockDesc* d, uint32_t newSize) {
  MemIndex* idx = IndexOf(heap);
  IndexCarry carry{IndexCarry::kNothing, ClassOf(newSize), IndexWords{}, TreeWords{}};
  if (idx->suspended) return carry;
  const bool was = IsMemberSize(d->blockSize);
  const bool will = IsMemberSize(newSize);
  if (!was) {
    if (will) carry.kind = IndexCarry::kJoins;
    return carry;
  }
  carry.words = WordsOf(d);
  const uint32_t c = ClassOf(d->blockSize);
  if (will && carry.c == c) {
    carry.kind = IndexCarry::kStays;
    if (idx->heads[c].tree != 0) carry.tree = LoadTree(d);
    return carry;
  }
  UnlinkFromClass(heap, idx, d, c);
  if (will) carry.kind = IndexCarry::kMoves;
  return carry;
}

void MemIndexSettle(Heap* heap, BlockDesc* d, const IndexCarry& carry) {
  MemIndex* idx = IndexOf(heap);
  switch (carry.kind) {
    case IndexCarry::kStays:
      if (kWordsInPayload) SetWords(d, carry.words);
      if (const uint32_t c = carry.c; idx->heads[c].tree != 0 && TreeFollows(idx, c)) {
        StoreTree(d, carry.tree);
        MemTreeResized(heap, idx->heads[c].tree, d);
      }
      return;
    case IndexCarry::kMoves:
      SetLabel(d, carry.words.label);
      LinkIntoClass(heap, idx, d, carry.c);
      return;
    case IndexCarry::kJoins:
      Enter(heap, idx, d);
      return;
    case IndexCarry::kNothing:
      return;
  }
}

void MemIndexSuspend(Heap* heap) {
  IndexOf(heap)->suspended = true;
}

// Relabels the chain's members evenly and lists them class by class in chain
// order; each class's list grows at its tail, which the head label slot holds
// until the end.
void MemIndexRebuild(Heap* heap) {
  MemIndex* idx = IndexOf(heap);
  const uint32_t tail = idx->tail;
  std::memset(idx, 0, sizeof *idx);
  idx->tail = tail;
  uint64_t count = 0;
  for (const BlockDesc* d = heap->freeBlocks; d != nullptr; d = d->nextFree)
    count += IsMemberSize(d->blockSize) ? 1 : 0;
  const uint64_t step = kLabelEnd / (count + 1);
  uint64_t label = 0;
  for (BlockDesc* d = heap->freeBlocks; d != nullptr; d = d->nextFree) {
    if (!IsMemberSize(d->blockSize)) continue;
    ClassHead& head = idx->heads[ClassOf(d->blockSize)];
    SetNext(d, 0);
    SetPrev(d, head.label);  // the class's last member so far
    SetLabel(d, static_cast<uint32_t>(label += step));
    if (head.label != 0) {
      SetNext(DescAt(heap, head.label), RefOf(heap, d));
    } else {
      head.head = RefOf(heap, d);
      Insert(idx->nonEmpty, ClassOf(d->blockSize));
    }
    head.label = RefOf(heap, d);
  }
  idx->members = static_cast<uint32_t>(count);
  uint64_t bound = kLabelEnd;
  uint32_t owner = kNoClass;  // the record whose gap the classes now met are in
  for (uint32_t c = LastBelow(idx->nonEmpty, kClassCount); c != kNoClass;
       c = LastBelow(idx->nonEmpty, c)) {
    SetHead(heap, idx, c, Head(heap, idx, c));
    const uint32_t label = idx->heads[c].label;
    if (label < bound) {
      Insert(idx->records, c);
      GapLow(idx, c) = kNoLabel;
      bound = label;
      owner = c;
    } else {
      Lower(GapLow(idx, owner), label);
    }
  }
}

BlockDesc* MemChainTail(const Heap* heap) {
  return DescOrNull(heap, IndexOf(heap)->tail);
}

void MemSetChainTail(Heap* heap, BlockDesc* d) {
  IndexOf(heap)->tail = RefOrNone(heap, d);
}
