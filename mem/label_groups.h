// Labels: where a member of the free-block index (index.h) stands in the
// chain, in one word, so that the places of two members compare without a
// walk of the chain.
//
// A label is a group id (high 12 bits) and a place in the group (low 20).
// Groups are runs of consecutive members of the chain, of at most
// kGroupFull members; the index's table keeps, for each group, its member
// count, its neighbours in chain order and its key. Group keys ascend along
// the chain, and so do places within a group: a member's order key, its
// group's key above its label, ascends along the chain. Group keys live in
// the table alone, so that spreading them out rewrites no member.
// (index.cpp tells how labels are given and groups kept.)
#ifndef OKR_MEM_LABEL_GROUPS_H
#define OKR_MEM_LABEL_GROUPS_H

#include <cstdint>

namespace okr_mem {

// A member's order key: its group's key (high half) and its label.
using OrderKey = uint64_t;
constexpr OrderKey kKeyEnd = ~OrderKey{0};  // after every key

constexpr uint32_t kGroupCount = 4096;  // group ids 1 .. kGroupCount - 1
constexpr uint32_t kPlaceBits = 20;
// Places run from 1 to kPlaceEnd - 1: 0 and kPlaceEnd bound a group's
// places, and no member takes them.
constexpr uint32_t kPlaceEnd = (1u << kPlaceBits) - 1;
constexpr uint32_t kGroupFull = 64;   // members a group holds at most
constexpr uint32_t kGroupLeast = 16;  // a group with fewer is small

struct LabelGroup {
  uint16_t count;   // members
  uint16_t prev;    // the group before it in the chain, 0: none
  uint16_t next;    // the group after it; of an unused group, the next unused one
  uint16_t unused;  // (0: the table's bytes are all defined)
};

inline uint32_t GroupOf(uint32_t label) {
  return label >> kPlaceBits;
}
inline uint32_t PlaceOf(uint32_t label) {
  return label & kPlaceEnd;
}

}  // namespace okr_mem

#endif
