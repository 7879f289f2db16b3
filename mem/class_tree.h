// Treaps over long class lists of the free-block index (index.h).
//
// A class list is walked to find a member's place in it, or the first member
// of at least s bytes in a class of mixed sizes. Short lists make that cheap;
// a class that grows long gets a treap over its members as well: ordered by
// key like the list, heap-ordered by a hash of each member's descriptor,
// each node knowing the largest block below it. Its words live in the
// members' payloads, after their index words, so only classes whose
// smallest member has room for them (kTreeMinClass and up) can have one.
#ifndef OKR_MEM_CLASS_TREE_H
#define OKR_MEM_CLASS_TREE_H

#include "mem/label_groups.h"
#include "mem/member_words.h"

namespace okr_mem {

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

// The operations (class_tree.cpp) order members by their key, KeyOf.

// The root of a treap over the class list that starts at `head`.
uint32_t MemTreeBuild(const Heap* heap, const BlockDesc* head);
// Adds labelled member `d`; returns the new root.
uint32_t MemTreeInsert(const Heap* heap, uint32_t root, BlockDesc* d);
// Takes member `d` out; returns the new root.
uint32_t MemTreeRemove(const Heap* heap, uint32_t root, const BlockDesc* d);
// Member `d`'s blockSize changed: refreshes the largest sizes above it.
void MemTreeResized(const Heap* heap, uint32_t root, const BlockDesc* d);
// The member with the largest key under `key`, or NULL.
BlockDesc* MemTreeBefore(const Heap* heap, uint32_t root, OrderKey key);
// The member with the smallest key of at least `size` bytes, or NULL.
BlockDesc* MemTreeFirstFit(const Heap* heap, uint32_t root, uint32_t size);
// True when the treap at `root` holds the members of the class list starting
// at `head` (`count` of them), in order, with its priorities and sizes right;
// reads only descriptors that `valid` accepts.
bool MemTreeCheck(const Heap* heap, uint32_t root, const BlockDesc* head, uint32_t count,
                  bool (*valid)(const Heap*, uint32_t ref));

}  // namespace okr_mem

#endif
