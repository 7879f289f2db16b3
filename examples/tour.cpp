// A short tour of okr on the bundled sample data: handles that survive
// compaction, locking, resizing and the heap walker.
#include <okr/okr.h>

#include <cstdio>
#include <cstring>

static int Fail(const char* what, ErrCode code) {
  std::fprintf(stderr, "%s: 0x%04X %s\n", what, code, ErrGetText(code));
  return 1;
}

static void PrintHeap(const char* when) {
  MemHeapInfo info{};
  MemGetHeapInfo(nullptr, &info);
  std::printf("  %-28s %5u in use, %3u free blocks, %8u free bytes, largest %8u\n", when,
              info.blocksInUse, info.blocksFree, info.freeBytes, info.largestFree);
}

// Fills a heap with blocks, frees every other one and asks for a block
// larger than any gap: the heap compacts, and every handle still finds its
// (moved) contents.
static int TourMemory() {
  std::printf("memory manager\n");
  // Room for 256 descriptors up front: pool extensions are locked blocks
  // that compaction cannot move past.
  Heap* heap = nullptr;
  if (ErrCode err = MemNewHeap(nullptr, 256, nullptr, 256 * 1024, &heap)) {
    return Fail("MemNewHeap", err);
  }
  MemSetHeap(heap);
  Handle blocks[200];
  int count = 0;
  while (count < 200 && (blocks[count] = MemNewHandle(1000)) != nullptr) {
    std::snprintf(static_cast<char*>(blocks[count]->data), 1000, "block %d", count);
    ++count;
  }
  PrintHeap("filled:");
  for (int i = 1; i < count; i += 2) MemDisposeHandle(blocks[i]);
  PrintHeap("every other block freed:");
  Handle big = MemNewHandle(60000);
  if (big == nullptr) return Fail("MemNewHandle", MemGetError());
  PrintHeap("after a 60000-byte request:");
  std::printf("  block 42 still reads \"%s\" at its new address\n",
              static_cast<char*>(blocks[42]->data));
  if (ErrCode err = MemSetHandleSize(big, 90000)) return Fail("MemSetHandleSize", err);
  std::printf("  resized to %u bytes; heap check: %s\n", MemGetHandleSize(big),
              ErrGetText(MemCheckHeap(nullptr)));
  MemDisposeAllHeaps();
  return 0;
}

int main() {
  std::printf("okr tour\n\n");
  return TourMemory();
}
