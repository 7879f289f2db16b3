// A heap's blocks in address order, and the SVG map that draws them.
#ifndef OKR_TOOLS_HEAP_MAP_H
#define OKR_TOOLS_HEAP_MAP_H

#include <okr/okr.h>

#include <cstdint>
#include <string>
#include <vector>

namespace okr_tool {

enum class BlockKind { kPool, kInUse, kLocked, kFree };

struct BlockView {
  uint64_t offset;  // from the start of the heap header
  uint64_t size;
  BlockKind kind;
};

// One picture of a heap.
struct HeapPicture {
  std::string title;              // "before compaction"
  uint64_t span;                  // header start to the region's end
  uint64_t headerSize;            // bytes before the first block
  std::vector<BlockView> blocks;  // in address order
};

// Walks `heap`'s block list through its public records.
HeapPicture TakePicture(const Heap* heap, const std::string& title);

// The number of blocks of `kind` in `picture`.
size_t CountBlocks(const HeapPicture& picture, BlockKind kind);

// An SVG document that draws each picture as rows of bytes: one rectangle of
// class "block" per block (a block that runs on into further rows continues
// in rectangles of class "more"), coloured by kind, neighbours of one kind
// in alternating shades, and of class "pin" too for a locked block or pool
// that holds a free gap in place; with a legend and a scale. `summary`
// lines are printed above the maps.
std::string HeapSvg(const std::vector<HeapPicture>& pictures,
                    const std::vector<std::string>& summary);

}  // namespace okr_tool

#endif
