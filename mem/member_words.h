// A member's words: what the free-block index (index.h) keeps for each of
// its members, in the member itself. A member has three 32-bit words: its
// label (label_groups.h), and its class list's next and prev links. A
// 64-bit descriptor has room for them; a 32-bit one has none, so there they
// form a node at the start of the free payload, after the owner word, and a
// member whose start moves while it keeps its chain place (the used block
// before it shrinks into it or grows into it) carries its node along.
//
// Links name descriptors by their offset from the heap header (RefOf), so
// that they fit in 32 bits on either build; 0 is "none".
#ifndef OKR_MEM_MEMBER_WORDS_H
#define OKR_MEM_MEMBER_WORDS_H

#include "mem/internal.h"
#include "mem/size_classes.h"

namespace okr_mem {

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

}  // namespace okr_mem

#endif
