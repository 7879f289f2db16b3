// The free-block index's operations. How the index works, why its records
// answer a search, and what its worst operation costs: index.h.
//
// Not compiled on its own: alloc_unit.cpp includes this file after
// alloc.cpp, so that MemNewHandle and MemDisposeHandle take in the index's
// steps (see there). A reader who splits the unit also drops the inline
// and noinline marks that only make sense inside it.
//
// Labels come in groups of consecutive members (see Labels below). A class
// whose list grows long also gets a treap over it (class_tree.cpp) to find a
// member's place, or a fitting member, without walking the list.
#include "mem/index.h"

namespace okr_mem {

namespace {

// ---- Members --------------------------------------------------------------

// The head of class `c`, which is not empty.
BlockDesc* Head(const Heap* heap, const MemIndex* idx, uint32_t c) {
  return DescAt(heap, idx->heads[c].head);
}

// The key of class `c`'s head, or kKeyEnd for no class.
OrderKey HeadKey(const MemIndex* idx, uint32_t c) {
  return c == kNoClass ? kKeyEnd : idx->heads[c].key;
}

BlockDesc* NextInClass(const Heap* heap, const BlockDesc* d) {
  return DescOrNull(heap, NextOf(d));
}

OrderKey MemberKey(const MemIndex* idx, const BlockDesc* d) {
  return KeyOfLabel(idx, LabelOf(d));
}

// True when member `a` comes before member `b` in the chain (either NULL:
// true), by their keys. For assertions.
[[maybe_unused]] bool Before(const MemIndex* idx, const BlockDesc* a, const BlockDesc* b) {
  return a == nullptr || b == nullptr || MemberKey(idx, a) < MemberKey(idx, b);
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

// No head key at all: the bound of a gap without members.
constexpr OrderKey kNoKey = kKeyEnd;

OrderKey& GapLow(MemIndex* idx, uint32_t c) {
  return idx->heads[c].gapLow;
}

void Lower(OrderKey& bound, OrderKey key) {
  if (key < bound) bound = key;
}

// Class `c` has a head that came earlier in the chain (a new class or a new
// head): it may become a record and end records below it, whose gaps then
// join its own.
void HeadCameEarlier(MemIndex* idx, uint32_t c) {
  const OrderKey key = idx->heads[c].key;
  const uint32_t up = FirstFrom(idx->records, c + 1);
  if (HeadKey(idx, up) < key) {  // hidden: c lies in up's gap
    Lower(GapLow(idx, up), key);
    return;
  }
  OrderKey gapLow = kNoKey;
  if (Contains(idx->records, c)) {
    gapLow = GapLow(idx, c);
  } else if (up != kNoClass) {
    gapLow = GapLow(idx, up);  // c's new gap was part of up's
  }
  Insert(idx->records, c);
  for (uint32_t r = LastBelow(idx->records, c); r != kNoClass && idx->heads[r].key > key;
       r = LastBelow(idx->records, r)) {
    Lower(gapLow, idx->heads[r].key);
    Lower(gapLow, GapLow(idx, r));
    Erase(idx->records, r);
  }
  GapLow(idx, c) = gapLow;
}

__attribute__((noinline)) void Reweigh(MemIndex* idx, uint32_t c, uint32_t up, OrderKey bound);

// Record `c`'s head went later in the chain (to `key`) or away (kKeyEnd).
// If its gap bound shows that none of the classes it hid comes before both
// its new head and the next record's head, only c itself is weighed;
// otherwise c and its gap are weighed again (Reweigh).
void HeadWentLater(MemIndex* idx, uint32_t c, OrderKey key) {
  const uint32_t up = FirstFrom(idx->records, c + 1);
  const OrderKey bound = HeadKey(idx, up);
  if (GapLow(idx, c) < std::min(key, bound)) return Reweigh(idx, c, up, bound);
  // Relied on: the gap bound is at most every head key in c's gap (here the
  // nearest class below c, if it is in the gap).
  OKR_MEM_ASSERT([&] {
    const uint32_t below = LastBelow(idx->nonEmpty, c);
    return below == kNoClass || Contains(idx->records, below) ||
           idx->heads[below].key >= GapLow(idx, c);
  }());
  if (key < bound) return;
  Erase(idx->records, c);
  if (up != kNoClass) {
    Lower(GapLow(idx, up), GapLow(idx, c));
    Lower(GapLow(idx, up), key);
  }
}

// The slow part of HeadWentLater, kept out of the block operations that take
// in the rest (see alloc.cpp): record `c` (`up` the next record above,
// whose head key is `bound`) and its gap, down to the next record below
// (which stays one), are weighed from the top down, word by word of the
// non-empty set, and every record found gets the exact bound of its new gap.
void Reweigh(MemIndex* idx, uint32_t c, uint32_t up, OrderKey bound) {
  const uint32_t low = LastBelow(idx->records, c);
  const uint32_t stop = low == kNoClass ? 0 : low + 1;  // weigh classes stop .. c
  Erase(idx->records, c);
  // The gap bound of the record whose gap the classes weighed now join (a
  // scratch word while there is none), and the least head key met in it.
  OrderKey none = kNoKey;
  OrderKey* ownerGap = up != kNoClass ? &GapLow(idx, up) : &none;
  OrderKey least = *ownerGap;
  uint32_t weighed = 0;  // counted here: a count in the table is a store per class
  uint32_t w = c / kWordBits;
  ClassWord bits = idx->nonEmpty.words[w] & (kAllBits >> (kWordBits - 1 - c % kWordBits));
  for (;;) {
    if (w == stop / kWordBits) bits &= kAllBits << (stop % kWordBits);
    ClassHead* const row = &idx->heads[w * kWordBits];  // the word's classes
    ClassWord found = 0;                                // the word's classes that become records
    while (bits != 0) {
      const uint32_t bit = HighestBit(bits);
      bits ^= BitOf(bit);
      const OrderKey headKey = row[bit].key;
      ++weighed;
      if (headKey >= bound) {
        Lower(least, headKey);
        continue;
      }
      *ownerGap = least;
      found |= BitOf(bit);
      bound = headKey;
      ownerGap = &row[bit].gapLow;
      least = kNoKey;
    }
    if (found != 0) {
      idx->records.words[w] |= found;
      idx->records.summary |= BitOf(w);
    }
    const ClassWord below = idx->nonEmpty.summary & (BitOf(w) - 1);
    if (w == stop / kWordBits || (below >> (stop / kWordBits)) == 0) break;
    w = HighestBit(below);
    bits = idx->nonEmpty.words[w];
  }
  *ownerGap = least;
  idx->effort.weighed += weighed;
}

// ---- Class lists ----------------------------------------------------------

void SetHead(const Heap* heap, MemIndex* idx, uint32_t c, const BlockDesc* d) {
  ClassHead& head = idx->heads[c];
  head.head = RefOf(heap, d);
  head.label = LabelOf(d);
  head.key = KeyOfLabel(idx, head.label);
}

// Class `c`'s treap, when a question is put to the class; 0 when it has none.
uint32_t AskTree(MemIndex* idx, uint32_t c) {
  idx->trees[c].idle = 0;
  return idx->trees[c].root;
}

// A walk of class `c`'s list just passed `steps` members: a long one builds
// the class's treap, if the class has room for one.
void WalkedClass(const Heap* heap, MemIndex* idx, uint32_t c, uint32_t steps) {
  if (steps < kTreeFrom || c < kTreeMinClass) return;
  uint32_t count = 0;
  for (const BlockDesc* m = Head(heap, idx, c); m != nullptr; m = NextInClass(heap, m))
    ++count;
  idx->effort.walked += count;
  idx->trees[c] = ClassTree{MemTreeBuild(heap, Head(heap, idx, c)), count, 0};
}

// True when class `c`'s treap (there is one) is to follow one more change; a
// treap that has followed too many since it last answered is dropped.
bool TreeFollows(MemIndex* idx, uint32_t c) {
  ClassTree& t = idx->trees[c];
  if (t.count < kTreeUntil || ++t.idle > t.count) t.root = 0;
  return t.root != 0;
}

// The rare paths, out of line: a class with a treap gains or loses `d`.
__attribute__((noinline)) void TreeAdd(const Heap* heap, MemIndex* idx, uint32_t c, BlockDesc* d) {
  ++idx->trees[c].count;
  if (TreeFollows(idx, c)) idx->trees[c].root = MemTreeInsert(heap, idx->trees[c].root, d);
}
__attribute__((noinline)) void TreeDrop(const Heap* heap, MemIndex* idx, uint32_t c,
                                        const BlockDesc* d) {
  --idx->trees[c].count;
  if (TreeFollows(idx, c)) idx->trees[c].root = MemTreeRemove(heap, idx->trees[c].root, d);
}

// Counts member `d` into class `c` (already linked into its list).
inline void CountIn(const Heap* heap, MemIndex* idx, BlockDesc* d, uint32_t c) {
  ++idx->members;
  if (idx->trees[c].root != 0) TreeAdd(heap, idx, c, d);
}

// Makes member `d` the head of class `c`, in front of the old head.
inline __attribute__((always_inline)) void PushHead(Heap* heap, MemIndex* idx, BlockDesc* d,
                                                    uint32_t c) {
  const uint32_t old = idx->heads[c].head;
  OKR_MEM_ASSERT(old == 0 || Before(idx, d, DescAt(heap, old)));
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
// lies after the head (whose key is `d`'s lower bound): found by walking a
// short list, through the treap in a long one. (Rare: out of line.)
__attribute__((noinline)) void LinkAfterHead(Heap* heap, MemIndex* idx, BlockDesc* d, uint32_t c) {
  const OrderKey key = MemberKey(idx, d);
  BlockDesc* before;
  uint32_t steps = 0;
  if (const uint32_t tree = AskTree(idx, c)) {
    before = MemTreeBefore(heap, tree, key);
  } else {
    before = Head(heap, idx, c);
    for (BlockDesc* m = NextInClass(heap, before); m != nullptr && MemberKey(idx, m) < key;
         m = NextInClass(heap, m), ++steps) {
      before = m;
    }
  }
  BlockDesc* after = NextInClass(heap, before);
  idx->effort.walked += steps;
  OKR_MEM_ASSERT(Before(idx, before, d) && Before(idx, d, after));
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
  if (idx->heads[c].head != 0 && idx->heads[c].key < MemberKey(idx, d)) {
    LinkAfterHead(heap, idx, d, c);
  } else {
    PushHead(heap, idx, d, c);
    HeadCameEarlier(idx, c);
  }
}

// Head `d` of class `c` leaves: its successor, if any, heads the class.
void PopHead(Heap* heap, MemIndex* idx, const BlockDesc* d, uint32_t c) {
  OKR_MEM_ASSERT(idx->heads[c].head == RefOf(heap, d));
  OrderKey key = kKeyEnd;
  if (const uint32_t next = NextOf(d)) {
    SetHead(heap, idx, c, DescAt(heap, next));
    key = idx->heads[c].key;
  } else {
    idx->heads[c] = ClassHead{0, 0, 0, idx->heads[c].gapLow};
    Erase(idx->nonEmpty, c);
  }
  if (Contains(idx->records, c)) HeadWentLater(idx, c, key);
}

// Unlinks member `d` from class `c`, its class by the size it was listed at.
void UnlinkFromClass(Heap* heap, MemIndex* idx, BlockDesc* d, uint32_t c) {
  --idx->members;
  if (idx->trees[c].root != 0) TreeDrop(heap, idx, c, d);
  if (idx->heads[c].head == RefOf(heap, d)) return PopHead(heap, idx, d, c);
  const uint32_t next = NextOf(d);
  const uint32_t prev = PrevOf(d);
  OKR_MEM_ASSERT(prev != 0 && NextOf(DescAt(heap, prev)) == RefOf(heap, d));
  if (next != 0) SetPrev(DescAt(heap, next), prev);
  SetNext(DescAt(heap, prev), next);
}

// ---- Labels ---------------------------------------------------------------
//
// A label is a group id and a place (label_groups.h); groups are runs of
// consecutive chain members, at most kGroupFull each. A group's key orders
// it among the groups; a member's key is its group's key and its place.
//
// A new member takes a place between its neighbours' in their group, a step
// below the next one's: blocks mostly enter in front of the block that
// entered last at the same spot. When no place is left, the group's members
// around it are spread over a window of places that leaves them room, grown
// outward until it does. When the group is full, the shorter side of the
// new member, with it (kGroupLeast members at least), moves to a new group.
// A group under kGroupLeast members is small; two small groups are never
// next to each other: when a removal makes them meet, they merge. So no
// change rewrites more labels than a group holds, and, as one of every two
// neighbouring groups holds kGroupLeast members or more, groups hold
// kGroupLeast / 2 = 8 members on average at least: there are at most about
// members / 8 groups.
//
// A new group's key lies halfway between its neighbours', or, at either
// end of the list, a kEndShare-th of the room there from the end group's:
// new groups come one after another at the chain's front, where the
// smallest blocks come and go, and halving would use that room up within
// some thirty groups; shares last about a thousand and still leave twenty
// halvings between them (the bench workload spread its keys 35 times in a
// million operations, each among its slowest, and now does not). When
// there is no key between the neighbours, every group's key is spread out
// evenly again (only the table changes, and with 32-bit keys for at most
// kGroupCount groups, it takes some twenty groups made at one spot in the
// middle before that is needed again). The class heads' copies of their
// keys are then refreshed, a pass over every non-empty class.
//
// That holds while there are group ids for about members / 8 groups, that
// is for fewer than 8 * (kGroupCount - 1) members; should a heap ever have
// more, a full group that finds no id left grows instead, and one that
// outgrows what a relayout or a split can gather has every member laid out
// again.

constexpr uint32_t kPlaces = 1u << kPlaceBits;
// A new member takes a place at most this far below the next member's.
// Blocks mostly enter each in front of the one that entered last at the
// same spot: such a run uses up the room below the spot a step at a time,
// while blocks entering just after a new one halve the step left above it.
// An eighth of the room between members as LayOutAll leaves them
// (kGroupFull / 2 to a group, kPlaces / 33 apart), as a power of two: a run
// there takes some six steps and a dozen halvings, and blocks after a new
// one a dozen halvings, before a spread.
constexpr uint32_t kPlaceStep = kPlaces >> 8;
// A window of places is wide enough when it leaves this many places per
// member it holds: a quarter step. Half the window goes to the gap around
// the new member, where the next ones enter, and every other member still
// gets kPlaceRoom / 2 places (nine halvings). A low bar keeps the window,
// and so the members relabelled, few where places are not used up: a full
// group's kGroupFull + 1 shares take a sixteenth of its places.
constexpr uint32_t kPlaceRoom = kPlaces >> 10;
constexpr uint64_t kGroupKeys = uint64_t{1} << 32;
// The share of the room at an end of the group list that a new group there
// leaves between itself and the end group (see above).
constexpr int64_t kEndShare = 64;

uint32_t LabelAt(uint32_t g, uint32_t place) {
  return g << kPlaceBits | place;
}

// Gives member `x` a new label, keeping its class head's copies current.
// Relabelling keeps the order, so records stay records; but a head in a gap
// may come below its record's bound, which then comes down with it.
void Relabel(const Heap* heap, MemIndex* idx, BlockDesc* x, uint32_t label) {
  ++idx->effort.relabelled;
  SetLabel(x, label);
  const uint32_t c = ClassOf(x->blockSize);
  ClassHead& head = idx->heads[c];
  if (head.head != RefOf(heap, x)) return;
  head.label = label;
  head.key = KeyOfLabel(idx, label);
  if (!Contains(idx->records, c)) Lower(GapLow(idx, FirstFrom(idx->records, c + 1)), head.key);
}

// Group keys changed: every head's key follows, and the gap bounds come down
// with them (a top-down pass: each non-empty class below a record lies in
// the gap of the nearest record above it, or is one).
// The classes are taken word by word of the non-empty set, each word's
// from its highest bit down.
void RefreshHeadKeys(MemIndex* idx) {
  uint32_t owner = kNoClass;
  uint32_t weighed = 0;
  for (uint32_t w = kClassWords; w-- > 0;) {
    for (ClassWord bits = idx->nonEmpty.words[w]; bits != 0;) {
      const uint32_t bit = HighestBit(bits);
      bits ^= BitOf(bit);
      const uint32_t c = w * kWordBits + bit;
      ClassHead& head = idx->heads[c];
      head.key = KeyOfLabel(idx, head.label);
      ++weighed;
      if (Contains(idx->records, c)) {
        owner = c;
      } else {
        Lower(GapLow(idx, owner), head.key);
      }
    }
  }
  idx->effort.weighed += weighed;
}

// Lays out the groups from `first` on (`count` of them, fewer than
// kGroupCount) evenly over all keys, a step apart: one division, not one
// per group (a division of 64-bit numbers costs as much as the rest of a
// group's step).
void SpreadKeys(MemIndex* idx, uint32_t first, uint32_t count) {
  const auto step = static_cast<uint32_t>(kGroupKeys / (count + 1));
  uint32_t key = 0;
  for (uint32_t i = 0, g = first; i < count; ++i, g = idx->groups[g].next) {
    key += step;
    idx->groupKeys[g] = key;
  }
}

// Group `g`, linked into the group list, has no key between its
// neighbours: every group's key is spread out evenly again.
__attribute__((noinline)) void MakeKeyRoom(MemIndex* idx, uint32_t g) {
  uint32_t first = g, count = 1;
  for (uint32_t back = idx->groups[g].prev; back != 0; back = idx->groups[back].prev, ++count)
    first = back;
  for (uint32_t ahead = idx->groups[g].next; ahead != 0; ahead = idx->groups[ahead].next)
    ++count;
  idx->effort.keysSpread += count;
  SpreadKeys(idx, first, count);
  RefreshHeadKeys(idx);
}

// A group id for a new group, or 0 when none is left.
uint32_t TakeGroup(MemIndex* idx) {
  const uint32_t g = idx->unusedGroups;
  if (g != 0) idx->unusedGroups = idx->groups[g].next;
  return g;
}

// Links new group `g` into the group list between `prev` and `next` (0:
// none), with a key between theirs: halfway, or at an end of the list a
// kEndShare-th of the room from its neighbour.
void LinkGroup(MemIndex* idx, uint32_t g, uint32_t prev, uint32_t next) {
  LabelGroup& group = idx->groups[g];
  group.prev = static_cast<uint16_t>(prev);
  group.next = static_cast<uint16_t>(next);
  if (prev != 0) idx->groups[prev].next = static_cast<uint16_t>(g);
  if (next != 0) idx->groups[next].prev = static_cast<uint16_t>(g);
  const int64_t lo = prev != 0 ? int64_t{idx->groupKeys[prev]} : -1;
  const int64_t hi = next != 0 ? int64_t{idx->groupKeys[next]} : static_cast<int64_t>(kGroupKeys);
  if (hi - lo >= 2) {
    const int64_t share = std::max<int64_t>(1, (hi - lo) / kEndShare);
    const int64_t key = prev == 0 ? hi - share : next == 0 ? lo + share : (lo + hi) / 2;
    idx->groupKeys[g] = static_cast<uint32_t>(key);
  } else {
    MakeKeyRoom(idx, g);
  }
}

// Unlinks group `g`, now without members, and gives its id back.
void DropGroup(MemIndex* idx, uint32_t g) {
  LabelGroup& group = idx->groups[g];
  if (group.prev != 0) idx->groups[group.prev].next = group.next;
  if (group.next != 0) idx->groups[group.next].prev = group.prev;
  group = LabelGroup{0, 0, idx->unusedGroups, 0};
  idx->groupKeys[g] = 0;
  idx->unusedGroups = static_cast<uint16_t>(g);
}

// (Group 0, "none", counts as large: see LayOutAll.)
bool IsSmall(const MemIndex* idx, uint32_t g) {
  return idx->groups[g].count < kGroupLeast;
}

// The nearest member before (or after) `x` in the chain, passing over
// `skip`.
BlockDesc* Near(const BlockDesc* x, bool back, const BlockDesc* skip) {
  BlockDesc* y = back ? PrevMember(x) : NextMember(x);
  if (y != nullptr && y == skip) y = back ? PrevMember(y) : NextMember(y);
  return y;
}

// The member next to `x` before (or after) it, if it belongs to group `g`;
// else NULL.
BlockDesc* Beside(const BlockDesc* x, bool back, uint32_t g) {
  BlockDesc* y = back ? PrevMember(x) : NextMember(x);
  return y != nullptr && GroupOf(LabelOf(y)) == g ? y : nullptr;
}

// Members of a group on either side of a spot, gathered outward from it,
// each side nearest first. `edge` is the next member on that side still in
// the group (NULL: the group ends, or the side is full and looks no further).
struct Side {
  BlockDesc* m[kGroupFull + 1];
  uint32_t n = 0;
  BlockDesc* edge = nullptr;

  // Adds the members of `other`, a side gathered walking back, in chain
  // order.
  void AddBackwards(const Side& other) {
    for (uint32_t k = other.n; k-- > 0;)
      m[n++] = other.m[k];
  }
  // Takes in `edge` and looks one member further.
  void Grow(bool back, uint32_t g) {
    m[n++] = edge;
    edge = n <= kGroupFull ? Beside(edge, back, g) : nullptr;
  }
};

// Gives members `below` (nearest first), `d` and `above` (nearest first)
// places in group `g` between places lo and hi (exclusive), evenly but for
// a gap of half the room around d (if any), where the next members are
// likely to enter.
void SpreadPlaces(const Heap* heap, MemIndex* idx, const Side& below, BlockDesc* d,
                  const Side& above, uint32_t g, int32_t lo, int32_t hi) {
  const int32_t n = static_cast<int32_t>(below.n + (d != nullptr ? 1 : 0) + above.n);
  const int32_t gap = d != nullptr ? (hi - lo) / 2 : 0;
  const int32_t step = (hi - lo - gap) / (n + 1);
  int32_t place = lo;
  for (uint32_t k = below.n; k-- > 0;)
    Relabel(heap, idx, below.m[k], LabelAt(g, static_cast<uint32_t>(place += step)));
  if (d != nullptr) {
    SetLabel(d, LabelAt(g, static_cast<uint32_t>(place += step + gap / 2)));
    place += gap - gap / 2;
  }
  for (uint32_t k = 0; k < above.n; ++k)
    Relabel(heap, idx, above.m[k], LabelAt(g, static_cast<uint32_t>(place += step)));
  OKR_MEM_ASSERT(place < hi &&
                 (above.n == 0 || below.n == 0 || Before(idx, below.m[0], above.m[0])));
}

// Gives a whole new layout to every member: groups of half the members they
// may hold (more, should ids run short), keys and places spread evenly. With
// `relabel`, each class head's copies follow; else the caller lists the
// members afresh.
void LayOutAll(const Heap* heap, MemIndex* idx, bool relabel) {
  uint32_t n = 0;
  for (const BlockDesc* d = heap->freeBlocks; d != nullptr; d = d->nextFree)
    n += IsMemberSize(d->blockSize) ? 1 : 0;
  const uint32_t groups = std::min((n + kGroupFull / 2 - 1) / (kGroupFull / 2), kGroupCount - 1);
  idx->groups[0] = LabelGroup{kGroupFull, 0, 0, 0};  // "none" is no small group
  idx->unusedGroups = 0;
  for (uint32_t g = kGroupCount - 1; g > groups; --g) {
    idx->groups[g] = LabelGroup{0, 0, idx->unusedGroups, 0};
    idx->groupKeys[g] = 0;
    idx->unusedGroups = static_cast<uint16_t>(g);
  }
  for (uint32_t g = 1; g <= groups; ++g) {
    const auto size =
        static_cast<uint32_t>(uint64_t{g} * n / groups - uint64_t{g - 1} * n / groups);
    idx->groupKeys[g] = static_cast<uint32_t>(g * kGroupKeys / (groups + 1));
    idx->groups[g] = LabelGroup{static_cast<uint16_t>(size), static_cast<uint16_t>(g - 1),
                                static_cast<uint16_t>(g < groups ? g + 1 : 0), 0};
  }
  uint32_t g = 1, place = 0;
  for (BlockDesc* d = heap->freeBlocks; d != nullptr; d = d->nextFree) {
    if (!IsMemberSize(d->blockSize)) continue;
    if (place == idx->groups[g].count) {
      ++g;
      place = 0;
    }
    const uint32_t label = LabelAt(g, ++place * (kPlaces / (idx->groups[g].count + 1u)));
    if (relabel) {
      Relabel(heap, idx, d, label);
    } else {
      SetLabel(d, label);
    }
  }
  if (relabel) RefreshHeadKeys(idx);
}

// Member `d` joins group `g`, which is not full, between `below.edge` and
// `above.edge` (NULL: none in g on that side), where no place is left: the
// members around it are spread over a window grown outward, a member a side
// at a time, until it leaves every member kPlaceRoom places.
void SpreadAround(const Heap* heap, MemIndex* idx, BlockDesc* d, uint32_t g, Side& below,
                  Side& above) {
  for (;;) {
    const int32_t lo =
        below.edge != nullptr ? static_cast<int32_t>(PlaceOf(LabelOf(below.edge))) : 0;
    const int32_t hi =
        above.edge != nullptr ? static_cast<int32_t>(PlaceOf(LabelOf(above.edge))) : kPlaceEnd;
    const uint32_t n = below.n + 1 + above.n;
    const bool whole = below.edge == nullptr && above.edge == nullptr;
    if (static_cast<uint32_t>(hi - lo) >= (n + 1) * kPlaceRoom ||
        (whole && hi - lo > static_cast<int32_t>(n))) {
      return SpreadPlaces(heap, idx, below, d, above, g, lo, hi);
    }
    if (whole || below.n + above.n >= kGroupFull) return LayOutAll(heap, idx, true);
    idx->effort.walked += (below.edge != nullptr) + (above.edge != nullptr);
    if (below.edge != nullptr) below.Grow(true, g);
    if (above.edge != nullptr) above.Grow(false, g);
  }
}

// Member `d` joins group `g`, which is full, between `below.edge` and
// `above.edge`: the shorter side of d, with d and enough members of the
// other side to make kGroupLeast, moves to a new group next to g on that
// side. With no group id left, g grows instead.
void SplitAt(const Heap* heap, MemIndex* idx, BlockDesc* d, uint32_t g, Side& below, Side& above) {
  while (below.edge != nullptr && above.edge != nullptr) {
    idx->effort.walked += 2;
    below.Grow(true, g);
    above.Grow(false, g);
  }
  // A group grown past full can hold more members on both sides than a side
  // gathers: where it ends is not known, so neither side may move or be
  // spread as if it were whole. Every member is laid out again.
  if (below.n > kGroupFull) return LayOutAll(heap, idx, true);
  const uint32_t fresh = TakeGroup(idx);
  if (fresh == 0) {
    ++idx->groups[g].count;
    return SpreadAround(heap, idx, d, g, below, above);
  }
  const bool first = below.edge == nullptr;  // the members before d are the fewer
  Side& shorter = first ? below : above;
  Side& longer = first ? above : below;
  while (shorter.n + 1 + longer.n < kGroupLeast && longer.edge != nullptr) {
    ++idx->effort.walked;
    longer.Grow(!first, g);
  }
  // Only the nearest kGroupLeast - 1 - shorter.n of the longer side move.
  const uint32_t taken = std::min(longer.n, kGroupLeast - 1 - std::min(kGroupLeast - 1, shorter.n));
  Side moving = longer;
  moving.n = taken;
  LabelGroup& group = idx->groups[g];
  if (first) {
    LinkGroup(idx, fresh, group.prev, g);
  } else {
    LinkGroup(idx, fresh, g, group.next);
  }
  const uint32_t moved = shorter.n + 1 + taken;
  idx->groups[fresh].count = static_cast<uint16_t>(moved);
  group.count = static_cast<uint16_t>(group.count + 1 - moved);
  if (first) {
    SpreadPlaces(heap, idx, shorter, d, moving, fresh, 0, kPlaceEnd);
  } else {
    SpreadPlaces(heap, idx, moving, d, shorter, fresh, 0, kPlaceEnd);
  }
}

// Member `d`, in the chain between members `prev` and `next` (NULL: none),
// has found no place in a group with room: it joins the group of one of
// them, which spreads its members or splits. (Out of line.)
__attribute__((noinline)) void PlaceSlow(const Heap* heap, MemIndex* idx, BlockDesc* d,
                                         BlockDesc* prev, BlockDesc* next) {
  const uint32_t pl = prev != nullptr ? LabelOf(prev) : 0;
  const uint32_t pg = GroupOf(pl);
  const uint32_t ng = next != nullptr ? GroupOf(LabelOf(next)) : 0;
  if (pg == 0 && ng == 0) {  // the first member
    const uint32_t g = TakeGroup(idx);
    LinkGroup(idx, g, 0, 0);
    SetLabel(d, LabelAt(g, kPlaces / 2));
    idx->groups[g].count = 1;
    return;
  }
  const bool prevRoom = pg != 0 && idx->groups[pg].count < kGroupFull;
  // At the border of two groups: the end of the one before, if it has room.
  if (pg != ng && prevRoom && PlaceOf(pl) + 2 <= kPlaceEnd) {
    SetLabel(d, LabelAt(pg, kPlaceEnd - std::min(kPlaceStep, (kPlaceEnd - PlaceOf(pl)) / 2)));
    ++idx->groups[pg].count;
    return;
  }
  // Next's group, unless only prev's has room.
  const uint32_t g = ng != 0 && (idx->groups[ng].count < kGroupFull || !prevRoom) ? ng : pg;
  Side below, above;
  below.edge = pg == g ? prev : nullptr;
  above.edge = ng == g ? next : nullptr;
  if (idx->groups[g].count < kGroupFull) {
    ++idx->groups[g].count;
    return SpreadAround(heap, idx, d, g, below, above);
  }
  SplitAt(heap, idx, d, g, below, above);
}

// Labels member `d`, already in the chain, between its member neighbours:
// `next`, and the nearest member before d.
inline __attribute__((always_inline)) void AssignLabel(const Heap* heap, MemIndex* idx,
                                                       BlockDesc* d, BlockDesc* next) {
  BlockDesc* prev = PrevMember(d);
  const uint32_t pl = prev != nullptr ? LabelOf(prev) : 0;
  // Between prev and next where both are in one group, else below next in
  // its group, or above prev in its group where there is no next; worked
  // out on whole labels, whose bounds stand in for the group's ends.
  uint32_t lo = pl, hi;
  if (next != nullptr) {
    hi = LabelOf(next);
    if (GroupOf(pl ^ hi) != 0) lo = hi & ~kPlaceEnd;
  } else {
    hi = pl | kPlaceEnd;
  }
  const uint32_t g = GroupOf(hi);
  if (hi - lo >= 2 && g != 0 && idx->groups[g].count < kGroupFull) {
    SetLabel(d, hi - std::min(kPlaceStep, (hi - lo) / 2));
    ++idx->groups[g].count;
    OKR_MEM_ASSERT(Before(idx, prev, d) && Before(idx, d, next));
  } else {
    PlaceSlow(heap, idx, d, prev, next);
  }
}

// Member `x`, about to leave the index, left group `g` small: if it is
// empty, its neighbours meet; if two small groups now meet, they merge, laid
// out again as one. (Out of line.)
__attribute__((noinline)) void GroupRanLow(const Heap* heap, MemIndex* idx, BlockDesc* x,
                                           uint32_t g) {
  LabelGroup& group = idx->groups[g];
  const uint32_t pg = group.prev, ng = group.next;
  // The groups that merge: g's small neighbours with g, or, when g is empty,
  // its two neighbours if both are small.
  uint32_t merging[3] = {g, IsSmall(idx, pg) ? pg : 0, IsSmall(idx, ng) ? ng : 0};
  if (group.count == 0) {
    DropGroup(idx, g);
    if (merging[1] == 0 || merging[2] == 0) return;
    merging[0] = 0;
  } else if (merging[1] == 0 && merging[2] == 0) {
    return;
  }
  // Their members, walking out from x both ways: they are next to each
  // other in the chain, and no other small group follows them.
  auto isMerging = [&](const BlockDesc* y) {
    const uint32_t yg = GroupOf(LabelOf(y));
    return yg == merging[0] || yg == merging[1] || yg == merging[2];
  };
  Side below, above;
  for (BlockDesc* y = Near(x, true, x); y != nullptr && isMerging(y); y = Near(y, true, x))
    below.m[below.n++] = y;
  for (BlockDesc* y = Near(x, false, x); y != nullptr && isMerging(y); y = Near(y, false, x))
    above.m[above.n++] = y;
  idx->effort.walked += below.n + above.n;
  // Relied on: the merging groups are next to each other around x.
  OKR_MEM_ASSERT([&] {
    uint32_t counted = 0;
    for (uint32_t m : merging)
      counted += m != 0 ? idx->groups[m].count : 0;
    return counted == below.n + above.n;
  }());
  const uint32_t keep =
      below.n != 0 ? GroupOf(LabelOf(below.m[below.n - 1])) : GroupOf(LabelOf(above.m[0]));
  for (uint32_t other : merging) {
    if (other != 0 && other != keep && idx->groups[other].count != 0) DropGroup(idx, other);
  }
  idx->groups[keep].count = static_cast<uint16_t>(below.n + above.n);
  // The kept group comes first: its members keep their places, and the
  // others take places after its last, if there is room.
  Side all;
  all.AddBackwards(below);
  for (uint32_t k = 0; k < above.n; ++k)
    all.m[all.n++] = above.m[k];
  uint32_t kept = 0;
  while (kept < all.n && GroupOf(LabelOf(all.m[kept])) == keep)
    ++kept;
  const int32_t last = static_cast<int32_t>(PlaceOf(LabelOf(all.m[kept - 1])));
  if (static_cast<uint32_t>(kPlaceEnd - last) > (all.n - kept + 1) * kPlaceRoom) {
    Side rest;
    for (uint32_t k = kept; k < all.n; ++k)
      rest.m[rest.n++] = all.m[k];
    return SpreadPlaces(heap, idx, Side{}, nullptr, rest, keep, last, kPlaceEnd);
  }
  SpreadPlaces(heap, idx, below, nullptr, above, keep, 0, kPlaceEnd);
}

// Member `x` leaves the index (while it is still in the chain, its label
// intact): its group counts it out.
inline void LeaveGroup(const Heap* heap, MemIndex* idx, BlockDesc* x) {
  const uint32_t g = GroupOf(LabelOf(x));
  LabelGroup& group = idx->groups[g];
  OKR_MEM_ASSERT(group.count != 0);
  if (--group.count >= kGroupLeast) return;
  if (group.count != 0 && !IsSmall(idx, group.prev) && !IsSmall(idx, group.next)) return;
  GroupRanLow(heap, idx, x, g);
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
  LayOutAll(heap, idx, false);  // no members yet: every group id unused
}

// A block entering the chain lands right in front of the first member at
// least as large, the spot's `at`, so unless its class holds smaller members
// before it, it becomes its class's head and the class a record, and no other
// record changes (see index.h).
void MemIndexInsert(Heap* heap, BlockDesc* d, const IndexSpot& spot) {
  MemIndex* idx = IndexOf(heap);
  OKR_MEM_ASSERT(NextMember(d) == spot.at);
  AssignLabel(heap, idx, d, spot.at);
  const uint32_t c = spot.c;
  if (spot.r != c) {
    // c was no record: its head, if any, lies after `at`, the head of the
    // record above. c's gap is what lay below c of that record's gap.
    GapLow(idx, c) = spot.r != kNoClass ? GapLow(idx, spot.r) : kNoKey;
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
  LeaveGroup(heap, idx, d);
}

void MemIndexRemoveFrom(Heap* heap, BlockDesc* d, uint32_t c) {
  MemIndex* idx = IndexOf(heap);
  OKR_MEM_ASSERT(!idx->suspended && ClassOf(d->blockSize) == c);
  UnlinkFromClass(heap, idx, d, c);
  LeaveGroup(heap, idx, d);
}

// (A long class gets its treap here, if it has none yet: the search leaves
// the chain as it was. Rare: out of line.)
__attribute__((noinline)) BlockDesc* MemIndexFirstInClass(const Heap* heap, uint32_t c,
                                                          uint32_t size) {
  MemIndex* idx = IndexOf(heap);
  const uint32_t up = FirstFrom(idx->records, c + 1);
  const OrderKey bound = HeadKey(idx, up);
  if (const uint32_t tree = AskTree(idx, c)) {
    BlockDesc* m = MemTreeFirstFit(heap, tree, size);
    if (m != nullptr && MemberKey(idx, m) < bound) return m;
  } else {
    uint32_t steps = 0;
    BlockDesc* m = Head(heap, idx, c);
    while (m != nullptr && MemberKey(idx, m) < bound && m->blockSize < size) {
      m = NextInClass(heap, m);
      ++steps;
    }
    WalkedClass(heap, idx, c, steps);
    if (m != nullptr && MemberKey(idx, m) < bound) return m;
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
    if (idx->trees[c].root != 0) carry.tree = LoadTree(d);
    return carry;
  }
  UnlinkFromClass(heap, idx, d, c);
  if (will) {
    carry.kind = IndexCarry::kMoves;
  } else {
    LeaveGroup(heap, idx, d);
  }
  return carry;
}

void MemIndexSettle(Heap* heap, BlockDesc* d, const IndexCarry& carry) {
  MemIndex* idx = IndexOf(heap);
  switch (carry.kind) {
    case IndexCarry::kStays:
      if (kWordsInPayload) SetWords(d, carry.words);
      if (const uint32_t c = carry.c; idx->trees[c].root != 0 && TreeFollows(idx, c)) {
        StoreTree(d, carry.tree);
        MemTreeResized(heap, idx->trees[c].root, d);
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

// Lays the chain's members out in fresh label groups and lists them class
// by class in chain order; each class's list grows at its tail, which the
// head's label slot holds until the end.
void MemIndexRebuild(Heap* heap) {
  MemIndex* idx = IndexOf(heap);
  const uint32_t tail = idx->tail;
  std::memset(idx, 0, sizeof *idx);
  idx->tail = tail;
  LayOutAll(heap, idx, false);
  for (BlockDesc* d = heap->freeBlocks; d != nullptr; d = d->nextFree) {
    if (!IsMemberSize(d->blockSize)) continue;
    const uint32_t c = ClassOf(d->blockSize);
    ClassHead& head = idx->heads[c];
    SetNext(d, 0);
    SetPrev(d, head.label);  // the class's last member so far
    if (head.label != 0) {
      SetNext(DescAt(heap, head.label), RefOf(heap, d));
    } else {
      head.head = RefOf(heap, d);
      Insert(idx->nonEmpty, c);
    }
    head.label = RefOf(heap, d);
    ++idx->members;
  }
  OrderKey bound = kKeyEnd;
  uint32_t owner = kNoClass;  // the record whose gap the classes now met are in
  for (uint32_t c = LastBelow(idx->nonEmpty, kClassCount); c != kNoClass;
       c = LastBelow(idx->nonEmpty, c)) {
    SetHead(heap, idx, c, Head(heap, idx, c));
    const OrderKey key = idx->heads[c].key;
    if (key < bound) {
      Insert(idx->records, c);
      GapLow(idx, c) = kNoKey;
      bound = key;
      owner = c;
    } else {
      Lower(GapLow(idx, owner), key);
    }
  }
}

BlockDesc* MemChainTail(const Heap* heap) {
  return DescOrNull(heap, IndexOf(heap)->tail);
}

void MemSetChainTail(Heap* heap, BlockDesc* d) {
  IndexOf(heap)->tail = RefOrNone(heap, d);
}

}  // namespace okr_mem
