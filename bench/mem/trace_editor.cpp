// The editor and loader trace (see traces.h).
#include <algorithm>
#include <deque>

#include "traces.h"

namespace {

constexpr uint64_t kEditorSeed = 0x6F6B72'45646974;
constexpr uint32_t kOpCount = 1'000'000;
constexpr uint32_t kBuffers = 256;
constexpr uint32_t kWorkingSet = 8;  // buffers being worked on
constexpr uint32_t kUndoLimit = 3'000;
constexpr uint32_t kSmallest = 64;
constexpr uint32_t kLargest = 64 * 1024;
constexpr uint32_t kLoadStep = 4096;

// 64 B to 64 KiB, as many of each power of two.
uint32_t DrawBufferSize(BenchRng& rng) {
  const uint32_t octave = rng.Between(6, 15);
  return rng.Between(1u << octave, (2u << octave) - 1);
}

struct Buffer {
  uint32_t slot;
  uint32_t size;
};

struct Editor {
  BenchRng rng{kEditorSeed};
  WorkloadBuilder b{kOpCount};
  std::vector<Buffer> buffers;
  std::deque<uint32_t> undo;  // oldest first

  // A file of `size` bytes read 4 KiB at a time into a buffer grown by as
  // much for each read, then cut to the file's size.
  Buffer Load(uint32_t size) {
    uint32_t capacity = kLoadStep;
    const uint32_t slot = b.New(capacity);
    while (capacity < size && !b.Full()) {
      capacity += kLoadStep;
      b.Resize(slot, capacity);
    }
    if (capacity != size && !b.Full()) b.Resize(slot, size);
    return Buffer{slot, size};
  }
  // Typing or deleting a few bytes, or now and then pasting or cutting
  // kilobytes, mostly in the working set.
  void Edit() {
    const uint32_t i = rng.Below(10) < 8 ? rng.Below(kWorkingSet) : rng.Below(kBuffers);
    Buffer& buf = buffers[i];
    const uint32_t amount = rng.Below(50) == 0 ? rng.Between(1024, 16384) : rng.Between(1, 64);
    const bool grow = rng.Below(2) == 0;
    buf.size = grow ? std::min(buf.size + amount, kLargest)
                    : std::max(buf.size, kSmallest + amount) - amount;
    b.Resize(buf.slot, buf.size);
  }
  void RecordUndo() {
    if (b.Full()) return;
    undo.push_back(b.New(rng.Between(16, 48)));
    if (undo.size() > kUndoLimit && !b.Full()) {
      b.Dispose(undo.front());
      undo.pop_front();
    }
  }
  // Closes a buffer outside the working set and loads a file in its place.
  void Reopen() {
    Buffer& buf = buffers[rng.Between(kWorkingSet, kBuffers - 1)];
    b.Dispose(buf.slot);
    buf = Load(DrawBufferSize(rng));
  }
};

}  // namespace

Workload MakeEditorTrace() {
  Editor e;
  for (uint32_t i = 0; i < kBuffers; ++i)
    e.buffers.push_back(e.Load(DrawBufferSize(e.rng)));
  while (!e.b.Full()) {
    if (e.rng.Below(1000) < 5) {
      e.Reopen();
    } else {
      e.Edit();
      e.RecordUndo();
    }
  }
  return e.b.Finish();
}
