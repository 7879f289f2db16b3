// A randomized model test: thousands of mixed operations on a small heap
// (so that compaction, pool growth, purging and running out of memory all
// happen), checking after every step that the heap walker finds nothing,
// that every live block still holds its bytes and that locked blocks stay
// where they are.
#include <algorithm>
#include <cstring>
#include <random>

#include "mem/index.h"
#include "mem_test_util.h"

using okr_mem::BlockStart;
using okr_mem::ClassOf;
using okr_mem::CopyUnwatched;
using okr_mem::IndexOf;
using okr_mem::LabelOf;
using okr_mem::LabelSlot;
using okr_mem::MemChainFindFit;
using okr_mem::NextSlot;
using okr_mem::RefOf;

namespace {

struct Live {
  Handle h;
  uint32_t size;
  uint8_t seed;
  void* lockedAt;  // the data address while locked, else NULL
};

uint8_t ByteAt(uint8_t seed, uint32_t i) {
  return static_cast<uint8_t>(seed + i * 7);
}

// The bytes of every block's pattern: ByteAt(seed, i) is kPattern[k + i]
// for k = seed / 7 modulo 256 (183 is the inverse of 7).
constexpr uint32_t kMaxSize = 16384;
const std::vector<uint8_t> kPattern = [] {
  std::vector<uint8_t> v(256 + kMaxSize);
  for (uint32_t j = 0; j < v.size(); ++j)
    v[j] = static_cast<uint8_t>(7 * j);
  return v;
}();

bool HoldsPattern(const void* p, uint8_t seed, uint32_t size) {
  uint32_t k = (seed * 183u) % 256;
  return std::memcmp(p, kPattern.data() + k, size) == 0;
}

class Model {
 public:
  explicit Model(uint32_t seed) : rng_(seed) {}

  void Step() {
    uint32_t op = Pick(10);
    if (op < 3) return Allocate();
    if (live_.empty()) return;
    size_t i = Pick(static_cast<uint32_t>(live_.size()));
    Live& b = live_[i];
    if (op < 5) {
      ASSERT_EQ(MemDisposeHandle(b.h), 0u);
      Forget(i);
    } else if (op == 5) {  // toggle the lock
      b.lockedAt = b.lockedAt ? nullptr : b.h->data;
      b.lockedAt ? MemLockHandle(b.h) : MemUnlockHandle(b.h);
    } else if (op < 8) {
      Resize(b.h);
    } else if (op == 8) {  // a pointer's round trip
      void* p = MemNewPtrClear(Pick(200));
      ASSERT_TRUE(p == nullptr || MemDisposePtr(p) == 0u);
    } else {  // resource data is refused and left as it was
      uint32_t flags = MemGetFlags(b.h);
      MemSetFlags(b.h, flags | memFlagResource);
      ASSERT_EQ(MemDisposeHandle(b.h), 0x460Au);
      MemSetFlags(b.h, flags);
    }
  }

  // The heap's purge callback: frees a few random blocks, but not the one
  // being resized (the model still holds a reference to its record).
  void Purge() {
    for (int n = 0; n < 8 && !live_.empty(); ++n) {
      size_t i = Pick(static_cast<uint32_t>(live_.size()));
      if (live_[i].h != resizing_ && MemDisposeHandle(live_[i].h) == 0) Forget(i);
    }
  }

  void Verify() const {
    ASSERT_EQ(MemCheckHeap(nullptr), 0u);
    // The index finds exactly the block a walk of the chain finds.
    for (MemWord size : {16, 32, 48, 112, 1040, 4112, 9000}) {
      const BlockDesc* walked = memCurrentHeap->freeBlocks;
      while (walked != nullptr && walked->blockSize < size)
        walked = walked->nextFree;
      ASSERT_EQ(MemChainFindFit(memCurrentHeap, size), walked) << size;
    }
    for (const Live& b : live_) {
      ASSERT_EQ(MemGetHandleSize(b.h), b.size);
      ASSERT_EQ(MemPtrToHandle(b.h->data), b.h);
      ASSERT_TRUE(b.lockedAt == nullptr || b.h->data == b.lockedAt);
      ASSERT_TRUE(HoldsPattern(b.h->data, b.seed, b.size));
    }
  }

  void DisposeAll() {
    for (const Live& b : live_)
      EXPECT_EQ(MemDisposeHandle(b.h), 0u);
    live_.clear();
  }

 private:
  uint32_t Pick(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng_); }

  // Mostly small blocks, sometimes large ones that force a compaction.
  uint32_t PickSize() {
    uint32_t r = Pick(100);
    return r < 70 ? Pick(64) : r < 97 ? Pick(1024) : 4096 + Pick(12000);
  }

  static void Write(const Live& b, uint32_t from) {
    auto* p = static_cast<uint8_t*>(b.h->data);
    for (uint32_t i = from; i < b.size; ++i)
      p[i] = ByteAt(b.seed, i);
  }

  void Forget(size_t i) {
    live_[i] = live_.back();
    live_.pop_back();
  }

  void Allocate() {
    Live b{nullptr, PickSize(), static_cast<uint8_t>(Pick(256)), nullptr};
    b.h = MemNewHandle(b.size);
    ASSERT_EQ(MemGetError(), b.h ? 0u : 0x4603u);
    if (b.h == nullptr) return;
    Write(b, 0);
    live_.push_back(b);
  }

  // A locked block that must move is refused; out of memory keeps the old
  // size and contents (Verify checks both). The purge callback may reorder
  // the live blocks: the record is found again by its handle.
  void Resize(Handle h) {
    uint32_t to = PickSize();
    resizing_ = h;
    ErrCode err = MemSetHandleSize(h, to);
    resizing_ = nullptr;
    Live& b = *std::find_if(live_.begin(), live_.end(), [h](const Live& x) { return x.h == h; });
    ASSERT_TRUE(err == 0 || err == 0x4603u || (err == 0x4609u && b.lockedAt)) << err;
    if (err != 0) return;
    uint32_t old = b.size;
    b.size = to;
    Write(b, std::min(old, to));
  }

  std::mt19937 rng_;
  std::vector<Live> live_;
  Handle resizing_ = nullptr;
};

Model* purgeModel = nullptr;
void PurgeModel(uint32_t) {
  purgeModel->Purge();
}

}  // namespace

TEST(MemModel, RandomOperationsKeepEveryInvariant) {
  for (uint32_t seed : {1u, 2u, 3u, 51u}) {
    SCOPED_TRACE(seed);
    Heap* heap = nullptr;
    // Every other run has a purge callback that frees blocks.
    ASSERT_EQ(MemNewHeap(seed % 2 ? PurgeModel : nullptr, 0, nullptr, 96 * 1024, &heap), 0u);
    ASSERT_EQ(MemSetHeap(heap), 0u);
    Model model(seed);
    purgeModel = &model;
    for (int step = 0; step < 5000; ++step) {
      model.Step();
      ASSERT_NO_FATAL_FAILURE(model.Verify()) << "step " << step;
    }
    MemHeapInfo info = HeapInfo();
    EXPECT_GT(info.compactions, 0u);
    EXPECT_GT(info.poolExtensions, 0u);
    model.DisposeAll();
    EXPECT_EQ(MemCheckHeap(heap), 0u);
    EXPECT_EQ(HeapInfo().blocksInUse, 0u);
    purgeModel = nullptr;
    ASSERT_EQ(MemDisposeHeap(&heap), 0u);
  }
}

TEST(MemCheck, FindsCorruption) {
  Heap* heap = nullptr;
  ASSERT_EQ(MemNewHeap(nullptr, 0, nullptr, 0x8000, &heap), 0u);
  ASSERT_EQ(MemSetHeap(heap), 0u);
  Handle a = MemNewHandle(20);
  Handle b = MemNewHandle(20);
  ASSERT_EQ(MemDisposeHandle(a), 0u);
  ASSERT_EQ(MemCheckHeap(heap), 0u);

  // Each case overwrites one word of the heap (the owner word is as wide as
  // an address, the other fields are 32-bit) and expects the checker's code.
  const struct {
    const char* name;
    void* field;
    size_t width;
    MemWord value;
    ErrCode code;
  } cases[] = {
      {"owner word", BlockStart(b), sizeof(MemWord), 0, 0x460D},
      {"master tag", &b->tag, 4, 0x41414141, 0x460E},
      {"block size", &b->blockSize, 4, b->blockSize + 16u, 0x4602},
      {"free flags", &a->flags, 4, 0x1000, 0x4607},
      {"free bytes", &heap->freeBytes, 4, heap->freeBytes + 16u, 0x4602},
      // a's free block and the rest of the heap are the index's members.
      {"member label", LabelSlot(a), 4, LabelOf(heap->freeBlocks->nextFree) + 1u, 0x4607},
      {"class link", NextSlot(a), 4, RefOf(heap, b), 0x4607},
      {"record class", &IndexOf(heap)->records.words[ClassOf(a->blockSize) / 64], 4, 0, 0x4607},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Some of the fields are closed to the client: written unwatched.
    unsigned char saved[sizeof(MemWord)];
    CopyUnwatched(saved, c.field, c.width);
    const uint32_t narrow = static_cast<uint32_t>(c.value);
    CopyUnwatched(c.field, c.width == 4 ? static_cast<const void*>(&narrow) : &c.value, c.width);
    EXPECT_EQ(MemCheckHeap(heap), c.code);
    CopyUnwatched(c.field, saved, c.width);
    EXPECT_EQ(MemCheckHeap(heap), 0u);
  }
  // A class hidden in a record's gap: p's free block grows in place (q
  // joins it) past s's, which came after it in the chain.
  Handle p = MemNewHandle(60), q = MemNewHandle(200);
  ASSERT_NE(MemNewHandle(60), nullptr);  // blocks in use keep s apart
  Handle s = MemNewHandle(100);
  ASSERT_NE(MemNewHandle(60), nullptr);
  ASSERT_EQ(MemDisposeHandle(p), 0u);
  ASSERT_EQ(MemDisposeHandle(s), 0u);
  ASSERT_EQ(MemDisposeHandle(q), 0u);
  okr_mem::MemIndex* idx = IndexOf(heap);
  const uint32_t hidden = ClassOf(s->blockSize);
  ASSERT_GT(ClassOf(p->blockSize), hidden);
  ASSERT_FALSE(okr_mem::Contains(idx->records, hidden));
  okr_mem::OrderKey& gapLow = idx->heads[ClassOf(p->blockSize)].gapLow;
  const okr_mem::OrderKey bound = gapLow;
  gapLow = idx->heads[hidden].key + 1;
  EXPECT_EQ(MemCheckHeap(heap), 0x4607u) << "a gap bound above a hidden head";
  gapLow = bound;
  EXPECT_EQ(MemCheckHeap(heap), 0u);
  heap->magic = 0;
  EXPECT_EQ(MemCheckHeap(heap), 0x4602u);
  heap->magic = 0x50414548;
  ASSERT_EQ(MemDisposeHeap(&heap), 0u);
}
